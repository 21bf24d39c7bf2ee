// SPDX-License-Identifier: GPL-2.0
/* dummy: network pseudo-devices that count and discard every packet
 * handed to them for transmission, and the link kind "dummy" through
 * which user space creates more of them.
 *
 * The devices look like Ethernet interfaces with a random, locally
 * administered unicast address, no ARP and no queueing discipline.
 * They offer every segmentation and checksum offload so that the stack
 * hands packets over whole, and they never receive anything.
 */

#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/build_bug.h>
#include <linux/netdevice.h>
#include <linux/etherdevice.h>
#include <linux/ethtool.h>
#include <linux/skbuff.h>
#include <linux/percpu.h>
#include <linux/rwsem.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <net/rtnetlink.h>
#include <net/net_namespace.h>

#define DRV_NAME	"dummy"

/* Scatter-gather and fragment lists, checksums of every packet, high
 * memory, the software segmentation kinds and the encapsulated ones: the
 * stack need not segment or checksum anything before handing it to us.
 */
#define DUMMY_OFFLOADS	(NETIF_F_SG | NETIF_F_HW_CSUM |			\
			 NETIF_F_HIGHDMA | NETIF_F_FRAGLIST |		\
			 NETIF_F_TSO | NETIF_F_TSO_ECN |		\
			 NETIF_F_TSO_MANGLEID | NETIF_F_TSO6 |		\
			 NETIF_F_GSO_GRE | NETIF_F_GSO_GRE_CSUM |	\
			 NETIF_F_GSO_IPXIP4 | NETIF_F_GSO_IPXIP6 |	\
			 NETIF_F_GSO_UDP_TUNNEL |			\
			 NETIF_F_GSO_UDP_TUNNEL_CSUM |			\
			 NETIF_F_GSO_SCTP | NETIF_F_GSO_UDP_L4 |	\
			 NETIF_F_GSO_FRAGLIST)

/* Transmit needs no queue lock. Kernels that still have the feature flag
 * for it take it with the offloads; newer ones keep it in the device's
 * lltx member instead (see dummy_setup).
 */
#ifdef NETIF_F_LLTX
#define DUMMY_FEATURES	(DUMMY_OFFLOADS | NETIF_F_LLTX)

/* The feature bits are part of the user-visible interface (ethtool -k
 * and the netlink feature sets), so pin their composition where the
 * lockless-transmit flag still is one of them.
 */
#define DUMMY_FEATURES_MASK	0x64FDD1069ULL
#else
#define DUMMY_FEATURES	DUMMY_OFFLOADS
#endif

static int numdummies = 1;
module_param(numdummies, int, 0);
MODULE_PARM_DESC(numdummies, "Number of dummy pseudo devices");

/* Nothing to program: the device has no address filters. */
static void set_multicast_list(struct net_device *dev)
{
}

static void dummy_get_stats64(struct net_device *dev,
			      struct rtnl_link_stats64 *stats)
{
	dev_lstats_read(dev, &stats->tx_packets, &stats->tx_bytes);
}

/* Runs without the queue lock (LLTX, no qdisc), possibly on several CPUs
 * at once for one device; each CPU only touches its own counters.
 */
static netdev_tx_t dummy_xmit(struct sk_buff *skb, struct net_device *dev)
{
	dev_lstats_add(dev, skb->len);

	if (skb_shinfo(skb)->tx_flags & SKBTX_SW_TSTAMP)
		skb_tstamp_tx(skb, NULL);

	consume_skb(skb);
	return NETDEV_TX_OK;
}

static int dummy_dev_init(struct net_device *dev)
{
	dev->lstats = netdev_alloc_pcpu_stats(struct pcpu_lstats);
	if (!dev->lstats)
		return -ENOMEM;

	return 0;
}

static void dummy_dev_uninit(struct net_device *dev)
{
	free_percpu(dev->lstats);
}

static int dummy_change_carrier(struct net_device *dev, bool new_carrier)
{
	if (new_carrier)
		netif_carrier_on(dev);
	else
		netif_carrier_off(dev);
	return 0;
}

static const struct net_device_ops dummy_netdev_ops = {
	.ndo_init		= dummy_dev_init,
	.ndo_uninit		= dummy_dev_uninit,
	.ndo_start_xmit		= dummy_xmit,
	.ndo_set_rx_mode	= set_multicast_list,
	.ndo_set_mac_address	= eth_mac_addr,
	.ndo_validate_addr	= eth_validate_addr,
	.ndo_get_stats64	= dummy_get_stats64,
	.ndo_change_carrier	= dummy_change_carrier,
};

static void dummy_get_drvinfo(struct net_device *dev,
			      struct ethtool_drvinfo *info)
{
	strscpy(info->driver, DRV_NAME, sizeof(info->driver));
}

static const struct ethtool_ops dummy_ethtool_ops = {
	.get_drvinfo		= dummy_get_drvinfo,
	.get_ts_info		= ethtool_op_get_ts_info,
};

static void dummy_setup(struct net_device *dev)
{
#ifdef DUMMY_FEATURES_MASK
	BUILD_BUG_ON(DUMMY_FEATURES != DUMMY_FEATURES_MASK);
#endif

	ether_setup(dev);

	dev->netdev_ops = &dummy_netdev_ops;
	dev->ethtool_ops = &dummy_ethtool_ops;
	dev->needs_free_netdev = true;

	dev->flags |= IFF_NOARP;
	dev->flags &= ~IFF_MULTICAST;
	dev->priv_flags |= IFF_LIVE_ADDR_CHANGE | IFF_NO_QUEUE;

#ifndef NETIF_F_LLTX
	dev->lltx = true;
#endif
	dev->features |= DUMMY_FEATURES;
	dev->hw_features |= dev->features;
	dev->hw_enc_features |= dev->features;

	/* Random, locally administered unicast address, marked as such.
	 * Newer kernels keep dev_addr read-only, so go through the helper
	 * rather than filling it in place.
	 */
	eth_hw_addr_random(dev);

	/* No bounds: a maximum of 0 lets the MTU be set to anything. */
	dev->min_mtu = 0;
	dev->max_mtu = 0;
}

static int dummy_validate(struct nlattr *tb[], struct nlattr *data[],
			  struct netlink_ext_ack *extack)
{
	if (!tb[IFLA_ADDRESS])
		return 0;

	if (nla_len(tb[IFLA_ADDRESS]) != ETH_ALEN)
		return -EINVAL;
	if (!is_valid_ether_addr(nla_data(tb[IFLA_ADDRESS])))
		return -EADDRNOTAVAIL;

	return 0;
}

static struct rtnl_link_ops dummy_link_ops __read_mostly = {
	.kind		= DRV_NAME,
	.setup		= dummy_setup,
	.validate	= dummy_validate,
};

/* Called with pernet_ops_rwsem and the RTNL lock held. */
static int __init dummy_init_one(void)
{
	struct net_device *dev;
	int err;

	dev = alloc_netdev(0, "dummy%d", NET_NAME_ENUM, dummy_setup);
	if (!dev)
		return -ENOMEM;

	dev->rtnl_link_ops = &dummy_link_ops;
	err = register_netdevice(dev);
	if (err < 0)
		goto err_free_netdev;

	return 0;

err_free_netdev:
	free_netdev(dev);
	return err;
}

static int __init dummy_init_module(void)
{
	int i, err = 0;

	/* The semaphore keeps namespaces from coming and going while the
	 * link kind is registered and, on failure, while it is removed
	 * again together with the devices made so far.
	 */
	down_write(&pernet_ops_rwsem);
	rtnl_lock();

	err = __rtnl_link_register(&dummy_link_ops);
	if (err < 0)
		goto unlock;

	for (i = 0; i < numdummies && !err; i++) {
		err = dummy_init_one();
		cond_resched();
	}
	if (err < 0)
		__rtnl_link_unregister(&dummy_link_ops);

unlock:
	rtnl_unlock();
	up_write(&pernet_ops_rwsem);

	return err;
}

static void __exit dummy_cleanup_module(void)
{
	rtnl_link_unregister(&dummy_link_ops);
}

module_init(dummy_init_module);
module_exit(dummy_cleanup_module);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Dummy network pseudo-devices that discard every packet");
MODULE_ALIAS_RTNL_LINK(DRV_NAME);
