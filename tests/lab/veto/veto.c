// SPDX-License-Identifier: GPL-2.0
/* Test-only helper: refuses the registration of the nth network device
 * whose name starts with "dummy", so that the failure path of a module
 * creating several such devices can be exercised. Refused with -EDOM,
 * which nothing in device registration returns on its own.
 */

#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/netdevice.h>
#include <linux/notifier.h>
#include <linux/string.h>

static int nth = 3;
module_param(nth, int, 0444);
MODULE_PARM_DESC(nth, "Which dummy* registration to refuse, counting from 1");

/* Every dummy* registration the notifier saw, the refused one included:
 * a creator that stops at a failure leaves it at nth.
 */
static int veto_seen;
module_param_named(seen, veto_seen, int, 0444);
MODULE_PARM_DESC(seen, "dummy* registrations seen so far");

static int veto_netdev_event(struct notifier_block *nb, unsigned long event,
			     void *ptr)
{
	struct net_device *dev = netdev_notifier_info_to_dev(ptr);

	if (event != NETDEV_REGISTER || strncmp(dev->name, "dummy", 5))
		return NOTIFY_DONE;

	/* Notifier calls are serialised by the RTNL lock. */
	if (++veto_seen != nth)
		return NOTIFY_DONE;

	pr_info("veto: refusing registration of %s\n", dev->name);
	return notifier_from_errno(-EDOM);
}

static struct notifier_block veto_notifier = {
	.notifier_call = veto_netdev_event,
};

static int __init veto_init(void)
{
	return register_netdevice_notifier(&veto_notifier);
}

static void __exit veto_exit(void)
{
	unregister_netdevice_notifier(&veto_notifier);
}

module_init(veto_init);
module_exit(veto_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Test helper: veto one dummy* device registration");
