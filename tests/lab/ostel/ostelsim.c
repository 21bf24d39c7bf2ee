// SPDX-License-Identifier: GPL-2.0
/*
 * ostelsim: a stand-in for the management controller's host-interface device, for the guest
 * lab only. It registers /dev/ostel0 (or /dev/ostel, parameter node=) and answers the connect
 * request and the two requests that brantel sends, the way the scenario parameter chooses.
 *
 * The device is message-oriented: one write carries one 12-byte request, one read returns one
 * whole response (cut to the reader's buffer), and the device polls readable only while a
 * response is queued.
 */

#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/ioctl.h>
#include <linux/kernel.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/mutex.h>
#include <linux/poll.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/uaccess.h>
#include <linux/wait.h>
#include <asm/unaligned.h>

#define OSTELSIM_ARG_SIZE	16
#define OSTELSIM_CONNECT	_IOWR('H', 1, struct ostelsim_connect_arg)
#define OSTELSIM_HEADER_SIZE	12
#define OSTELSIM_PREFIX_SIZE	16	/* header and status */
#define OSTELSIM_RESPONSE_BIT	0x00800000
#define OSTELSIM_CODE_VERSIONS	0x0400001A
#define OSTELSIM_PROV_STATE	0x04000011
#define OSTELSIM_TEXT_SIZE	65
#define OSTELSIM_ENTRIES	85	/* offset of the first version entry */
#define OSTELSIM_ENTRY_SIZE	44
#define OSTELSIM_FIELD_SIZE	20
#define OSTELSIM_BAD_COMMAND	0x0000000B	/* status for a request we do not know */

struct ostelsim_connect_arg {
	__u8 bytes[OSTELSIM_ARG_SIZE];
};

static const u8 ostelsim_uuid[OSTELSIM_ARG_SIZE] = {
	0x28, 0x00, 0xf8, 0x12, 0xb7, 0xb4, 0x2d, 0x4b,
	0xac, 0xa8, 0x46, 0xe0, 0xff, 0x65, 0x81, 0x4c,
};

/* How the code-versions request is answered. */
enum ostelsim_versions {
	VERSIONS_GOOD,		/* the three entries below */
	VERSIONS_NONE,		/* count 0, length 73 */
	VERSIONS_TRAILING,	/* the entries and 43 spare bytes */
	VERSIONS_EMPTY,		/* a response of no bytes */
	VERSIONS_STATUS,	/* header and the scenario's status only */
	VERSIONS_SHORT,		/* 14 bytes */
	VERSIONS_BAD_LENGTH,	/* length field one more than sent */
	VERSIONS_BAD_COMMAND,	/* the request's command, response bit clear */
	VERSIONS_BAD_RESERVED,
	VERSIONS_BAD_MAJOR,	/* major version 2 */
	VERSIONS_BAD_MINOR,	/* minor version 0 */
	VERSIONS_MINOR_2,	/* minor version 2, otherwise good */
	VERSIONS_LABEL_21,	/* first label length 21 */
	VERSIONS_VERSION_5_OF_6,	/* version "1.2.3x" with length 5 */
	VERSIONS_MANY,		/* 51 entries */
	VERSIONS_FULL_VERSION,	/* one entry whose version fills its field: no NUL in the response */
	VERSIONS_SILENT,	/* no response at all */
};

/* How the provisioning-state request is answered. */
enum ostelsim_state {
	STATE_GOOD,		/* the state parameter */
	STATE_STATUS,		/* status 0x22 */
	STATE_SILENT,
};

struct ostelsim_scenario {
	const char *name;
	bool refuse;
	u32 max_message_length;
	enum ostelsim_versions versions;
	u32 status;
	enum ostelsim_state state;
};

static const struct ostelsim_scenario ostelsim_scenarios[] = {
	{ "provisioned",	false, 4096, VERSIONS_GOOD,		0,	STATE_GOOD },
	{ "count0",		false, 4096, VERSIONS_NONE,		0,	STATE_GOOD },
	{ "trailing",		false, 4096, VERSIONS_TRAILING,		0,	STATE_GOOD },
	{ "minor2",		false, 4096, VERSIONS_MINOR_2,		0,	STATE_GOOD },
	{ "empty",		false, 4096, VERSIONS_EMPTY,		0,	STATE_GOOD },
	{ "status4000",		false, 4096, VERSIONS_STATUS,		0x4000,	STATE_GOOD },
	{ "status",		false, 4096, VERSIONS_STATUS,		0x1234,	STATE_GOOD },
	{ "short",		false, 4096, VERSIONS_SHORT,		0,	STATE_GOOD },
	{ "badlength",		false, 4096, VERSIONS_BAD_LENGTH,	0,	STATE_GOOD },
	{ "badcommand",		false, 4096, VERSIONS_BAD_COMMAND,	0,	STATE_GOOD },
	{ "badreserved",	false, 4096, VERSIONS_BAD_RESERVED,	0,	STATE_GOOD },
	{ "badmajor",		false, 4096, VERSIONS_BAD_MAJOR,	0,	STATE_GOOD },
	{ "badminor",		false, 4096, VERSIONS_BAD_MINOR,	0,	STATE_GOOD },
	{ "label21",		false, 4096, VERSIONS_LABEL_21,		0,	STATE_GOOD },
	{ "versionmismatch",	false, 4096, VERSIONS_VERSION_5_OF_6,	0,	STATE_GOOD },
	{ "many",		false, 4096, VERSIONS_MANY,		0,	STATE_GOOD },
	{ "fullversion",	false, 4096, VERSIONS_FULL_VERSION,	0,	STATE_GOOD },
	{ "fullversiontight",	false, 129,  VERSIONS_FULL_VERSION,	0,	STATE_GOOD },
	{ "provstatus",		false, 4096, VERSIONS_GOOD,		0,	STATE_STATUS },
	{ "provsilent",		false, 4096, VERSIONS_GOOD,		0,	STATE_SILENT },
	{ "silent",		false, 4096, VERSIONS_SILENT,		0,	STATE_GOOD },
	{ "refuse",		true,  4096, VERSIONS_GOOD,		0,	STATE_GOOD },
	{ "smallmax",		false, 8,    VERSIONS_GOOD,		0,	STATE_GOOD },
};

struct ostelsim_entry {
	const char *label;
	const char *version;
};

static const struct ostelsim_entry ostelsim_entries[] = {
	{ "Firmware", "5.1.2" },
	{ "Recovery", "1.0.7" },
	{ "Security", "3.14" },
};

static char *node = "ostel0";
module_param(node, charp, 0444);
MODULE_PARM_DESC(node, "device node name: ostel0 (default) or ostel");

static char *scenario = "provisioned";
module_param(scenario, charp, 0444);
MODULE_PARM_DESC(scenario, "how the controller answers (see ostelsim_scenarios)");

static int state = 2;
module_param(state, int, 0444);
MODULE_PARM_DESC(state, "provisioning state byte to report (0-255)");

static const struct ostelsim_scenario *ostelsim_active;

/* One open file: a connection and at most one queued response. */
struct ostelsim_file {
	struct mutex lock;
	wait_queue_head_t wait;
	bool connected;
	bool queued;
	u8 *response;
	size_t response_len;
};

static void ostelsim_put_header(u8 *buf, size_t len, u32 command, u32 status)
{
	buf[0] = 1;
	buf[1] = 1;
	put_unaligned_le16(0, buf + 2);
	put_unaligned_le32(command | OSTELSIM_RESPONSE_BIT, buf + 4);
	put_unaligned_le32(len - OSTELSIM_HEADER_SIZE, buf + 8);
	if (len >= OSTELSIM_PREFIX_SIZE)
		put_unaligned_le32(status, buf + 12);
}

static void ostelsim_put_counted(u8 *field, const char *text, u16 len)
{
	put_unaligned_le16(len, field);
	memcpy(field + 2, text, min_t(size_t, strlen(text), OSTELSIM_FIELD_SIZE));
}

static void ostelsim_put_entry(u8 *buf, unsigned int index, const char *label,
			       const char *version)
{
	u8 *entry = buf + OSTELSIM_ENTRIES + index * OSTELSIM_ENTRY_SIZE;

	ostelsim_put_counted(entry, label, strlen(label));
	ostelsim_put_counted(entry + 2 + OSTELSIM_FIELD_SIZE, version, strlen(version));
}

/* Builds the code-versions answer; returns its length, or -errno. */
static ssize_t ostelsim_code_versions(u8 **out)
{
	enum ostelsim_versions kind = ostelsim_active->versions;
	unsigned int count = ARRAY_SIZE(ostelsim_entries);
	size_t spare = 0;
	size_t len;
	unsigned int i;
	u8 *buf;

	switch (kind) {
	case VERSIONS_NONE:
		count = 0;
		break;
	case VERSIONS_TRAILING:
		spare = 43;
		break;
	case VERSIONS_MANY:
		count = 51;
		break;
	case VERSIONS_FULL_VERSION:
		count = 1;
		break;
	case VERSIONS_EMPTY:
		*out = NULL;
		return 0;
	case VERSIONS_STATUS:
		count = 0;
		break;
	default:
		break;
	}

	len = OSTELSIM_ENTRIES + count * OSTELSIM_ENTRY_SIZE + spare;
	if (kind == VERSIONS_STATUS)
		len = OSTELSIM_PREFIX_SIZE;
	if (kind == VERSIONS_SHORT)
		len = 14;
	buf = kzalloc(len, GFP_KERNEL);
	if (!buf)
		return -ENOMEM;

	ostelsim_put_header(buf, len, OSTELSIM_CODE_VERSIONS, ostelsim_active->status);
	if (len < OSTELSIM_ENTRIES)
		goto done;

	memcpy(buf + OSTELSIM_PREFIX_SIZE, "ostelsim lab controller", 23);
	put_unaligned_le32(count, buf + OSTELSIM_ENTRIES - 4);
	for (i = 0; i < count; i++) {
		const struct ostelsim_entry *e;

		e = &ostelsim_entries[i % ARRAY_SIZE(ostelsim_entries)];
		ostelsim_put_entry(buf, i, e->label, e->version);
	}
	memset(buf + len - spare, 'x', spare);

	switch (kind) {
	case VERSIONS_BAD_LENGTH:
		put_unaligned_le32(len - OSTELSIM_HEADER_SIZE + 1, buf + 8);
		break;
	case VERSIONS_BAD_COMMAND:
		put_unaligned_le32(OSTELSIM_CODE_VERSIONS, buf + 4);
		break;
	case VERSIONS_BAD_RESERVED:
		put_unaligned_le16(1, buf + 2);
		break;
	case VERSIONS_BAD_MAJOR:
		buf[0] = 2;
		break;
	case VERSIONS_BAD_MINOR:
		buf[1] = 0;
		break;
	case VERSIONS_MINOR_2:
		buf[1] = 2;
		break;
	case VERSIONS_LABEL_21:
		put_unaligned_le16(21, buf + OSTELSIM_ENTRIES);
		break;
	case VERSIONS_VERSION_5_OF_6:
		ostelsim_put_entry(buf, 0, "Firmware", "1.2.3x");
		put_unaligned_le16(5, buf + OSTELSIM_ENTRIES + 2 + OSTELSIM_FIELD_SIZE);
		break;
	case VERSIONS_FULL_VERSION:
		ostelsim_put_entry(buf, 0, "Firmware", "ABCDEFGHIJKLMNOPQRST");
		break;
	default:
		break;
	}
done:
	*out = buf;
	return len;
}

/* Builds the provisioning-state answer; returns its length, or -errno. */
static ssize_t ostelsim_prov_state(u8 **out)
{
	size_t len = OSTELSIM_PREFIX_SIZE + 1;
	u32 status = ostelsim_active->state == STATE_STATUS ? 0x22 : 0;
	u8 *buf;

	buf = kzalloc(len, GFP_KERNEL);
	if (!buf)
		return -ENOMEM;
	ostelsim_put_header(buf, len, OSTELSIM_PROV_STATE, status);
	buf[OSTELSIM_PREFIX_SIZE] = (u8)state;
	*out = buf;
	return len;
}

/* A request we do not know: header and a non-zero status. */
static ssize_t ostelsim_unknown(u32 command, u8 **out)
{
	u8 *buf = kzalloc(OSTELSIM_PREFIX_SIZE, GFP_KERNEL);

	if (!buf)
		return -ENOMEM;
	ostelsim_put_header(buf, OSTELSIM_PREFIX_SIZE, command, OSTELSIM_BAD_COMMAND);
	*out = buf;
	return OSTELSIM_PREFIX_SIZE;
}

static int ostelsim_open(struct inode *inode, struct file *file)
{
	struct ostelsim_file *f;

	f = kzalloc(sizeof(*f), GFP_KERNEL);
	if (!f)
		return -ENOMEM;
	mutex_init(&f->lock);
	init_waitqueue_head(&f->wait);
	file->private_data = f;
	return stream_open(inode, file);
}

static int ostelsim_release(struct inode *inode, struct file *file)
{
	struct ostelsim_file *f = file->private_data;

	kfree(f->response);
	kfree(f);
	return 0;
}

static long ostelsim_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	struct ostelsim_file *f = file->private_data;
	struct ostelsim_connect_arg connect;
	void __user *uarg = (void __user *)arg;

	if (cmd != OSTELSIM_CONNECT)
		return -ENOTTY;
	if (copy_from_user(&connect, uarg, sizeof(connect)))
		return -EFAULT;
	if (memcmp(connect.bytes, ostelsim_uuid, sizeof(ostelsim_uuid)))
		return -EINVAL;
	if (ostelsim_active->refuse)
		return -ECONNREFUSED;

	memset(&connect, 0, sizeof(connect));
	put_unaligned_le32(ostelsim_active->max_message_length, connect.bytes);
	connect.bytes[4] = 1;
	if (copy_to_user(uarg, &connect, sizeof(connect)))
		return -EFAULT;

	mutex_lock(&f->lock);
	f->connected = true;
	mutex_unlock(&f->lock);
	return 0;
}

static ssize_t ostelsim_write(struct file *file, const char __user *ubuf, size_t count,
			      loff_t *ppos)
{
	struct ostelsim_file *f = file->private_data;
	u8 request[OSTELSIM_HEADER_SIZE];
	u8 *response = NULL;
	ssize_t len;
	u32 command;
	ssize_t ret;

	if (count != OSTELSIM_HEADER_SIZE)
		return -EINVAL;
	if (copy_from_user(request, ubuf, sizeof(request)))
		return -EFAULT;
	if (request[0] != 1 || request[1] == 0 || get_unaligned_le16(request + 2) ||
	    get_unaligned_le32(request + 8))
		return -EINVAL;
	command = get_unaligned_le32(request + 4);

	mutex_lock(&f->lock);
	ret = -ENOTCONN;
	if (!f->connected)
		goto out_unlock;
	ret = -EBUSY;
	if (f->queued)
		goto out_unlock;

	ret = count;
	if (command == OSTELSIM_CODE_VERSIONS) {
		if (ostelsim_active->versions == VERSIONS_SILENT)
			goto out_unlock;
		len = ostelsim_code_versions(&response);
	} else if (command == OSTELSIM_PROV_STATE) {
		if (ostelsim_active->state == STATE_SILENT)
			goto out_unlock;
		len = ostelsim_prov_state(&response);
	} else {
		len = ostelsim_unknown(command, &response);
	}
	if (len < 0) {
		ret = len;
		goto out_unlock;
	}
	f->response = response;
	f->response_len = len;
	WRITE_ONCE(f->queued, true);
	wake_up_interruptible(&f->wait);
out_unlock:
	mutex_unlock(&f->lock);
	return ret;
}

static ssize_t ostelsim_read(struct file *file, char __user *ubuf, size_t count, loff_t *ppos)
{
	struct ostelsim_file *f = file->private_data;
	ssize_t ret;
	size_t len;

	mutex_lock(&f->lock);
	while (!f->queued) {
		mutex_unlock(&f->lock);
		if (file->f_flags & O_NONBLOCK)
			return -EAGAIN;
		if (wait_event_interruptible(f->wait, READ_ONCE(f->queued)))
			return -ERESTARTSYS;
		mutex_lock(&f->lock);
	}

	/* One read takes the whole message; what does not fit the reader's buffer is lost. */
	len = min(count, f->response_len);
	ret = len;
	if (len && copy_to_user(ubuf, f->response, len))
		ret = -EFAULT;
	kfree(f->response);
	f->response = NULL;
	f->response_len = 0;
	WRITE_ONCE(f->queued, false);
	mutex_unlock(&f->lock);
	return ret;
}

static __poll_t ostelsim_poll(struct file *file, poll_table *wait)
{
	struct ostelsim_file *f = file->private_data;
	__poll_t mask = EPOLLOUT | EPOLLWRNORM;

	poll_wait(file, &f->wait, wait);
	if (READ_ONCE(f->queued))
		mask |= EPOLLIN | EPOLLRDNORM;
	return mask;
}

static const struct file_operations ostelsim_fops = {
	.owner		= THIS_MODULE,
	.open		= ostelsim_open,
	.release	= ostelsim_release,
	.read		= ostelsim_read,
	.write		= ostelsim_write,
	.poll		= ostelsim_poll,
	.unlocked_ioctl	= ostelsim_ioctl,
	.compat_ioctl	= compat_ptr_ioctl,
	.llseek		= no_llseek,
};

static struct miscdevice ostelsim_misc = {
	.minor	= MISC_DYNAMIC_MINOR,
	.fops	= &ostelsim_fops,
	.mode	= 0600,
};

static int __init ostelsim_init(void)
{
	unsigned int i;

	BUILD_BUG_ON(OSTELSIM_CONNECT != 0xC0104801);

	if (strcmp(node, "ostel0") && strcmp(node, "ostel")) {
		pr_err("ostelsim: node must be ostel0 or ostel, not %s\n", node);
		return -EINVAL;
	}
	for (i = 0; i < ARRAY_SIZE(ostelsim_scenarios); i++) {
		if (!strcmp(scenario, ostelsim_scenarios[i].name))
			ostelsim_active = &ostelsim_scenarios[i];
	}
	if (!ostelsim_active) {
		pr_err("ostelsim: unknown scenario %s\n", scenario);
		return -EINVAL;
	}
	ostelsim_misc.name = node;
	return misc_register(&ostelsim_misc);
}

static void __exit ostelsim_exit(void)
{
	misc_deregister(&ostelsim_misc);
}

module_init(ostelsim_init);
module_exit(ostelsim_exit);

MODULE_DESCRIPTION("Simulated management controller host interface for the guest lab");
MODULE_LICENSE("GPL");
