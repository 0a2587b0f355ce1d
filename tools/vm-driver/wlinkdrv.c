// SPDX-License-Identifier: GPL-2.0
/*
 * The virtual module's stand-in wireless driver: creates ra0 and answers the daemon's
 * driver requests on it (private set, show, association table, AP start, the survey
 * listing for iwpriv, the channel and the hardware address) from texts that a test or a
 * developer writes under /proc/ra0. There is no radio: no frame is sent or received on
 * the air, frames the bridge hands to ra0 are counted and dropped, and a station is
 * "associated" because /proc/ra0/stations says so.
 *
 *   /proc/ra0/stations  one station per line: MAC RSSI0 RSSI1 RSSI2 BW RATE CONNECT_TIME
 *                       RX_PACKETS RX_TRY; blank lines and lines starting with '#' skipped
 *   /proc/ra0/survey    what `iwpriv ra0 get_site_survey` prints
 *   /proc/ra0/wscinfo   what the show request "stat" writes to /var/run/wscinfo
 *   /proc/ra0/hwaddr    ra0's hardware address, xx:xx:xx:xx:xx:xx
 *   /proc/ra0/channel   the channel the frequency query reports, a number
 *
 * An empty file has its default (see the README, "The virtual module"). A write replaces
 * the text when the file is closed (">>" adds to it); a text larger than the file's room
 * is refused whole and the file keeps its old text.
 */
#include <linux/ctype.h>
#include <linux/etherdevice.h>
#include <linux/fs.h>
#include <linux/if_arp.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/netdevice.h>
#include <linux/proc_fs.h>
#include <linux/rtnetlink.h>
#include <linux/slab.h>
#include <linux/uaccess.h>
#include <linux/wireless.h>
#include <net/iw_handler.h>
#include <asm/unaligned.h>

#define TEXT_REQ 255	/* the daemon's text buffer */
#define MAC_TABLE_ENTRIES 32
#define MAC_ENTRY_SIZE 40
#define MAC_TABLE_SIZE (4 + MAC_TABLE_ENTRIES * MAC_ENTRY_SIZE)	/* 1284 */
#define SURVEY_MAX IW_PRIV_SIZE_MASK	/* 2047: the most a private request returns */
#define PROFILE "/config/mt7628.dat"
#define PROFILE_MAX 16384
#define DEFAULT_CHANNEL 6	/* where automatic selection settles */

#define PRIV_SET (SIOCIWFIRSTPRIV + 0x02)
#define PRIV_AP_START (SIOCIWFIRSTPRIV + 0x04)
#define PRIV_SURVEY (SIOCIWFIRSTPRIV + 0x0D)
#define PRIV_SHOW (SIOCIWFIRSTPRIV + 0x11)
#define PRIV_MAC_TABLE (SIOCIWFIRSTPRIV + 0x1F)

static const char default_wscinfo[] = "WscStatus=0x1\nTX PER=0%\nRX PER=0%\n";
static const char survey_heading[] = "ra0       get_site_survey:";
static const char default_survey[] = "\nCh  SSID  BSSID  Security  Signal(%)  W-Mode";
static const u8 default_hwaddr[ETH_ALEN] = { 0x02, 0x11, 0x22, 0x33, 0x44, 0x55 };

/* One writable file under /proc/ra0: its text and its room. */
struct slot {
	const char *name;
	size_t max;
	char *text;
	size_t len;
};

enum { STATIONS, SURVEY, WSCINFO, HWADDR, CHANNEL, SLOTS };
static struct slot slots[SLOTS] = {
	[STATIONS] = { "stations", 4096 },
	[SURVEY] = { "survey", SURVEY_MAX },
	[WSCINFO] = { "wscinfo", 1024 },
	[HWADDR] = { "hwaddr", 64 },
	[CHANNEL] = { "channel", 32 },
};

static DEFINE_MUTEX(state_lock);	/* the slots and radio_channel; taken after rtnl */
static int radio_channel = DEFAULT_CHANNEL;	/* read from the profile when ra0 comes up */
static struct net_device *ra0;
static struct proc_dir_entry *proc_dir;

/* ---- text helpers: every one is bounded by the length it is given */

static bool blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

/* The next line of text[*pos..len) (without its line feed) in *line, *n; false at the end. */
static bool next_line(const char *text, size_t len, size_t *pos, const char **line, size_t *n)
{
	size_t i = *pos;

	if (i >= len)
		return false;
	*line = text + i;
	while (i < len && text[i] != '\n')
		i++;
	*n = i - *pos;
	*pos = i < len ? i + 1 : i;
	return true;
}

/* Up to max blank-separated words of a line; the number found. */
static int split_words(const char *line, size_t n, const char **w, size_t *wn, int max)
{
	size_t i = 0;
	int k = 0;

	while (k < max) {
		while (i < n && blank(line[i]))
			i++;
		if (i == n)
			break;
		w[k] = line + i;
		while (i < n && !blank(line[i]))
			i++;
		wn[k] = line + i - w[k];
		k++;
	}
	return k;
}

/* A leading decimal number as atoi/strtoul read it: blanks, a sign, digits (wrapping). */
static u64 leading_number(const char *s, size_t n, bool *negative)
{
	size_t i = 0;
	u64 v = 0;

	while (i < n && blank(s[i]))
		i++;
	*negative = i < n && s[i] == '-';
	if (i < n && (s[i] == '-' || s[i] == '+'))
		i++;
	for (; i < n && isdigit(s[i]); i++)
		v = v * 10 + (s[i] - '0');
	return v;
}

static int text_int(const char *s, size_t n)
{
	bool neg;
	u64 v = leading_number(s, n, &neg);

	return neg ? -(int)(u32)v : (int)(u32)v;
}

static u64 text_ulong(const char *s, size_t n)
{
	bool neg;
	u64 v = leading_number(s, n, &neg);

	return neg ? -v : v;
}

/* "xx:xx:xx:xx:xx:xx" (one or two hex digits each, blanks before a number allowed) into
 * mac: the number of octets read; the octets after the first miss are left as they are. */
static int parse_mac(const char *s, size_t n, u8 *mac)
{
	size_t i = 0;
	int k;

	for (k = 0; k < ETH_ALEN; k++) {
		int digits = 0, v = 0;

		if (k > 0) {
			if (i >= n || s[i] != ':')
				break;
			i++;
		}
		while (i < n && blank(s[i]))
			i++;
		while (i < n && digits < 2 && isxdigit(s[i])) {
			v = v * 16 + hex_to_bin(s[i++]);
			digits++;
		}
		if (digits == 0)
			break;
		mac[k] = v;
	}
	return k;
}

static bool contains(const char *s, size_t n, const char *what)
{
	size_t m = strlen(what), i;

	for (i = 0; i + m <= n; i++)
		if (memcmp(s + i, what, m) == 0)
			return true;
	return false;
}

/* A text being made, with its room; over is set (and nothing more added) once it is full. */
struct out {
	char *p;
	size_t len, cap;
	bool over;
};

static void put(struct out *o, const char *s, size_t n)
{
	if (o->over || n > o->cap - o->len) {
		o->over = true;
		return;
	}
	memcpy(o->p + o->len, s, n);
	o->len += n;
}

static void put_str(struct out *o, const char *s) { put(o, s, strlen(s)); }

/* ---- the stations */

enum { W_MAC, W_RSSI0, W_RSSI1, W_RSSI2, W_BW, W_RATE, W_TIME, W_RX_PACKETS, W_RX_TRY, W_COUNT };

/* Each station line of the stations text in turn: its words in w (missing ones empty);
 * false at the end. */
static bool next_station(size_t *pos, const char **w, size_t *wn)
{
	const struct slot *s = &slots[STATIONS];
	const char *line;
	size_t n;

	while (next_line(s->text, s->len, pos, &line, &n)) {
		int k = split_words(line, n, w, wn, W_COUNT);

		if (k == 0 || w[W_MAC][0] == '#')
			continue;
		for (; k < W_COUNT; k++) {
			w[k] = "";
			wn[k] = 0;
		}
		return true;
	}
	return false;
}

/* The text of /var/run/stainfo (all = true) or /var/run/stacountinfo. */
static int station_text(struct out *o, bool all)
{
	const char *w[W_COUNT];
	size_t wn[W_COUNT], pos = 0;

	/* Each station's lines hold its words and at most 40 characters more. */
	o->cap = slots[STATIONS].len + 40 * (slots[STATIONS].len / 2 + 1);
	o->p = kvmalloc(o->cap, GFP_KERNEL);
	if (!o->p)
		return -ENOMEM;
	while (next_station(&pos, w, wn)) {
		put_str(o, "MAC=");
		put(o, w[W_MAC], wn[W_MAC]);
		if (all) {
			put_str(o, "\nRSSI0/1/2=");
			put(o, w[W_RSSI0], wn[W_RSSI0]);
			put_str(o, "/");
			put(o, w[W_RSSI1], wn[W_RSSI1]);
			put_str(o, "/");
			put(o, w[W_RSSI2], wn[W_RSSI2]);
			put_str(o, "\nBW=");
			put(o, w[W_BW], wn[W_BW]);
			put_str(o, "\nRate=");
			put(o, w[W_RATE], wn[W_RATE]);
		} else {
			put_str(o, "\nRxPackets=");
			put(o, w[W_RX_PACKETS], wn[W_RX_PACKETS]);
			put_str(o, "\nRxTry=");
			put(o, w[W_RX_TRY], wn[W_RX_TRY]);
		}
		put_str(o, "\n");
	}
	return o->over ? -ENOSPC : 0;
}

/* The association table, little-endian: the count (the number of stations, even past the
 * 32 entries there is room for), then per entry the address at 1, the signal at 10, the
 * association time at 16 and the rate word (bit 7: 40 MHz) at 20 and 24. */
static void mac_table(u8 *t)
{
	const char *w[W_COUNT];
	size_t wn[W_COUNT], pos = 0;
	u32 n = 0;

	memset(t, 0, MAC_TABLE_SIZE);
	while (next_station(&pos, w, wn)) {
		if (n < MAC_TABLE_ENTRIES) {
			u8 *e = t + 4 + n * MAC_ENTRY_SIZE;
			u32 rate;

			parse_mac(w[W_MAC], wn[W_MAC], e + 1);
			e[10] = (u8)(s8)text_int(w[W_RSSI0], wn[W_RSSI0]);
			rate = (u32)text_ulong(w[W_RATE], wn[W_RATE]) & 0xFFFF;
			if (contains(w[W_BW], wn[W_BW], "40"))
				rate |= 0x80;
			put_unaligned_le32((u32)text_ulong(w[W_TIME], wn[W_TIME]), e + 16);
			put_unaligned_le32(rate, e + 20);
			put_unaligned_le32(rate, e + 24);
		}
		n++;
	}
	put_unaligned_le32(n, t);
}

/* ---- the status files the show request writes */

static int write_file(const char *path, const char *text, size_t len)
{
	struct file *f = filp_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_LARGEFILE, 0644);
	loff_t pos = 0;
	int err = 0;

	if (IS_ERR(f))
		return PTR_ERR(f);
	while (err == 0 && pos < len) {
		ssize_t n = kernel_write(f, text + pos, len - pos, &pos);

		if (n <= 0)
			err = n < 0 ? n : -EIO;
	}
	filp_close(f, NULL);
	return err;
}

static int show(const char *name)
{
	struct out o = { 0 };
	bool stainfo = strcmp(name, "stainfo") == 0;
	int err;

	if (strcmp(name, "stat") == 0) {
		const struct slot *s = &slots[WSCINFO];

		return s->len ? write_file("/var/run/wscinfo", s->text, s->len)
			      : write_file("/var/run/wscinfo", default_wscinfo, strlen(default_wscinfo));
	}
	if (!stainfo && strcmp(name, "stacountinfo") != 0)
		return -EINVAL;
	err = station_text(&o, stainfo);
	if (err == 0)
		err = write_file(stainfo ? "/var/run/stainfo" : "/var/run/stacountinfo", o.p, o.len);
	kvfree(o.p);
	return err;
}

/* ---- the requests on ra0 (the kernel holds rtnl around each) */

static int iw_name(struct net_device *dev, struct iw_request_info *info, union iwreq_data *wrqu, char *extra)
{
	strscpy(wrqu->name, "IEEE 802.11", sizeof(wrqu->name));
	return 0;
}

/* The channel in m, as the daemon reads it. */
static int iw_freq(struct net_device *dev, struct iw_request_info *info, union iwreq_data *wrqu, char *extra)
{
	const struct slot *s = &slots[CHANNEL];

	if (!netif_running(dev))
		return -ENETDOWN;
	mutex_lock(&state_lock);
	wrqu->freq.m = s->len ? text_int(s->text, s->len) : radio_channel;
	mutex_unlock(&state_lock);
	wrqu->freq.e = 0;
	wrqu->freq.i = 0;
	wrqu->freq.flags = 0;
	return 0;
}

/* The request's text (in extra, its room TEXT_REQ) up to its length or its first NUL. */
static size_t request_text(const union iwreq_data *wrqu, const char *extra)
{
	return strnlen(extra, min_t(size_t, wrqu->data.length, TEXT_REQ));
}

/* "NAME=VALUE": WPS, counters, survey start. Taken as they come. */
static int priv_set(struct net_device *dev, struct iw_request_info *info, union iwreq_data *wrqu, char *extra)
{
	return memchr(extra, '=', request_text(wrqu, extra)) ? 0 : -EINVAL;
}

static int priv_ap_start(struct net_device *dev, struct iw_request_info *info, union iwreq_data *wrqu, char *extra)
{
	size_t n = request_text(wrqu, extra);

	return n == 5 && memcmp(extra, "start", 5) == 0 ? 0 : -EINVAL;
}

/* The name comes from the caller's buffer (nothing is returned in it): the status file
 * is whole before the request returns. */
static int priv_show(struct net_device *dev, struct iw_request_info *info, union iwreq_data *wrqu, char *extra)
{
	char name[TEXT_REQ + 1];
	size_t n = min_t(size_t, wrqu->data.length, TEXT_REQ);
	int err;

	if (!wrqu->data.pointer)
		return -EFAULT;
	if (copy_from_user(name, wrqu->data.pointer, n))
		return -EFAULT;
	name[n] = '\0';
	wrqu->data.length = 0;
	mutex_lock(&state_lock);
	err = show(name);
	mutex_unlock(&state_lock);
	return err;
}

/* The table into extra (MAC_TABLE_SIZE bytes), as much of it as the caller has room for. */
static int priv_mac_table(struct net_device *dev, struct iw_request_info *info, union iwreq_data *wrqu, char *extra)
{
	mutex_lock(&state_lock);
	mac_table(extra);
	mutex_unlock(&state_lock);
	wrqu->data.length = min_t(u16, wrqu->data.length, MAC_TABLE_SIZE);
	return 0;
}

/* The listing iwpriv prints after its own "ra0       get_site_survey:" and before a
 * line feed: the survey text less that heading and less its last line feed. */
static int priv_survey(struct net_device *dev, struct iw_request_info *info, union iwreq_data *wrqu, char *extra)
{
	const struct slot *s = &slots[SURVEY];
	const char *t = default_survey;
	size_t n = strlen(default_survey), h = strlen(survey_heading);

	mutex_lock(&state_lock);
	if (s->len) {
		t = s->text;
		n = s->len;
		if (n >= h && memcmp(t, survey_heading, h) == 0) {
			t += h;
			n -= h;
		}
		if (n > 0 && t[n - 1] == '\n')
			n--;
	}
	n = min_t(size_t, n, SURVEY_MAX);
	memcpy(extra, t, n);
	mutex_unlock(&state_lock);
	wrqu->data.length = n;
	return 0;
}

static const iw_handler standard_handlers[] = {
	[IW_IOCTL_IDX(SIOCGIWNAME)] = iw_name,
	[IW_IOCTL_IDX(SIOCGIWFREQ)] = iw_freq,
};

static const iw_handler private_handlers[] = {
	[PRIV_SET - SIOCIWFIRSTPRIV] = priv_set,
	[PRIV_AP_START - SIOCIWFIRSTPRIV] = priv_ap_start,
	[PRIV_SURVEY - SIOCIWFIRSTPRIV] = priv_survey,
	[PRIV_SHOW - SIOCIWFIRSTPRIV] = priv_show,
	[PRIV_MAC_TABLE - SIOCIWFIRSTPRIV] = priv_mac_table,
};

/* What iwpriv reads (SIOCGIWPRIV). A set request's text reaches the handler in extra;
 * the show request reads its name itself and returns nothing. */
static const struct iw_priv_args private_args[] = {
	{ PRIV_SET, IW_PRIV_TYPE_CHAR | TEXT_REQ, 0, "set" },
	{ PRIV_AP_START, IW_PRIV_TYPE_CHAR | TEXT_REQ, 0, "ap_start" },
	{ PRIV_SURVEY, 0, IW_PRIV_TYPE_CHAR | SURVEY_MAX, "get_site_survey" },
	{ PRIV_SHOW, IW_PRIV_TYPE_CHAR | TEXT_REQ, 0, "show" },
	{ PRIV_MAC_TABLE, 0, IW_PRIV_TYPE_BYTE | MAC_TABLE_SIZE, "get_mac_table" },
};

static const struct iw_handler_def wireless_handlers = {
	.standard = standard_handlers,
	.num_standard = ARRAY_SIZE(standard_handlers),
	.private = private_handlers,
	.num_private = ARRAY_SIZE(private_handlers),
	.private_args = private_args,
	.num_private_args = ARRAY_SIZE(private_args),
};

/* ---- the interface */

/* The profile's Channel= when ra0 comes up, as the driver reads its settings then;
 * DEFAULT_CHANNEL when it has none or none above 0. */
static int profile_channel(void)
{
	struct file *f = filp_open(PROFILE, O_RDONLY | O_LARGEFILE, 0);
	const char *line;
	size_t pos = 0, n;
	char *text;
	ssize_t len;
	loff_t off = 0;
	int chan = 0;

	if (IS_ERR(f))
		return DEFAULT_CHANNEL;
	text = kvmalloc(PROFILE_MAX, GFP_KERNEL);
	len = text ? kernel_read(f, text, PROFILE_MAX, &off) : -ENOMEM;
	filp_close(f, NULL);
	while (len > 0 && next_line(text, (size_t)len, &pos, &line, &n))
		if (n >= 8 && memcmp(line, "Channel=", 8) == 0) {
			chan = text_int(line + 8, n - 8);
			break;
		}
	kvfree(text);
	return chan > 0 ? chan : DEFAULT_CHANNEL;
}

static int ra0_open(struct net_device *dev)
{
	int chan = profile_channel();

	mutex_lock(&state_lock);
	radio_channel = chan;
	mutex_unlock(&state_lock);
	netif_start_queue(dev);
	return 0;
}

static int ra0_stop(struct net_device *dev)
{
	netif_stop_queue(dev);
	return 0;
}

/* No radio: what the bridge sends is counted and dropped. */
static netdev_tx_t ra0_xmit(struct sk_buff *skb, struct net_device *dev)
{
	dev->stats.tx_packets++;
	dev->stats.tx_bytes += skb->len;
	dev_kfree_skb(skb);
	return NETDEV_TX_OK;
}

/* Any address, all-zero and broadcast ones among them: the daemon is the one to refuse. */
static int ra0_set_mac(struct net_device *dev, void *p)
{
	const struct sockaddr *sa = p;

	eth_hw_addr_set(dev, (const u8 *)sa->sa_data);
	return 0;
}

static const struct net_device_ops ra0_ops = {
	.ndo_open = ra0_open,
	.ndo_stop = ra0_stop,
	.ndo_start_xmit = ra0_xmit,
	.ndo_set_mac_address = ra0_set_mac,
};

/* ---- /proc/ra0: a text per open file, put in place when a writer closes it */

struct handle {
	struct slot *s;
	size_t len;
	bool bad;
	char buf[];
};

static int proc_open_(struct inode *inode, struct file *file)
{
	struct slot *s = pde_data(inode);
	struct handle *h = kvzalloc(sizeof(*h) + s->max, GFP_KERNEL);

	if (!h)
		return -ENOMEM;
	h->s = s;
	/* A reader sees the text of the moment it opened; a writer starts empty unless it appends. */
	if (!(file->f_mode & FMODE_WRITE) || (file->f_flags & O_APPEND)) {
		mutex_lock(&state_lock);
		memcpy(h->buf, s->text, s->len);
		h->len = s->len;
		mutex_unlock(&state_lock);
	}
	file->private_data = h;
	return 0;
}

static ssize_t proc_read_(struct file *file, char __user *to, size_t count, loff_t *pos)
{
	struct handle *h = file->private_data;

	return simple_read_from_buffer(to, count, pos, h->buf, h->len);
}

static ssize_t proc_write_(struct file *file, const char __user *from, size_t count, loff_t *ppos)
{
	struct handle *h = file->private_data;
	loff_t pos = (file->f_flags & O_APPEND) ? h->len : *ppos;

	if (h->bad)
		return -EFBIG;
	if (pos < 0 || (u64)pos > h->s->max || count > h->s->max - (size_t)pos) {
		h->bad = true;	/* refused whole: the file keeps its text */
		return -EFBIG;
	}
	if (copy_from_user(h->buf + pos, from, count)) {
		h->bad = true;
		return -EFAULT;
	}
	h->len = max_t(size_t, h->len, pos + count);
	*ppos = pos + count;
	return count;
}

static int proc_release_(struct inode *inode, struct file *file)
{
	struct handle *h = file->private_data;
	struct slot *s = h->s;
	u8 mac[ETH_ALEN];
	struct sockaddr sa = { .sa_family = ARPHRD_ETHER };
	bool set_mac = false;

	if ((file->f_mode & FMODE_WRITE) && !h->bad) {
		mutex_lock(&state_lock);
		memcpy(s->text, h->buf, h->len);
		s->len = h->len;
		if (s == &slots[HWADDR]) {
			memcpy(mac, default_hwaddr, ETH_ALEN);
			if (parse_mac(s->text, s->len, mac) != ETH_ALEN)
				memcpy(mac, default_hwaddr, ETH_ALEN);
			set_mac = true;
		}
		mutex_unlock(&state_lock);
	}
	kvfree(h);
	if (set_mac) {
		memcpy(sa.sa_data, mac, ETH_ALEN);
		rtnl_lock();
		dev_set_mac_address(ra0, &sa, NULL);
		rtnl_unlock();
	}
	return 0;
}

static const struct proc_ops slot_ops = {
	.proc_open = proc_open_,
	.proc_read = proc_read_,
	.proc_write = proc_write_,
	.proc_lseek = default_llseek,
	.proc_release = proc_release_,
};

static void free_slots(void)
{
	int i;

	for (i = 0; i < SLOTS; i++) {
		kvfree(slots[i].text);
		slots[i].text = NULL;
	}
}

static int __init wlinkdrv_init(void)
{
	int i, err = -ENOMEM;

	for (i = 0; i < SLOTS; i++) {
		slots[i].text = kvzalloc(slots[i].max, GFP_KERNEL);
		if (!slots[i].text)
			goto fail;
	}
	ra0 = alloc_netdev(0, "ra0", NET_NAME_USER, ether_setup);
	if (!ra0)
		goto fail;
	ra0->netdev_ops = &ra0_ops;
	ra0->wireless_handlers = &wireless_handlers;
	eth_hw_addr_set(ra0, default_hwaddr);
	err = register_netdev(ra0);
	if (err)
		goto fail_dev;
	proc_dir = proc_mkdir("ra0", NULL);
	if (!proc_dir)
		goto fail_proc;
	for (i = 0; i < SLOTS; i++)
		if (!proc_create_data(slots[i].name, 0644, proc_dir, &slot_ops, &slots[i]))
			goto fail_proc;
	return 0;

fail_proc:
	proc_remove(proc_dir);
	unregister_netdev(ra0);
	err = -ENOMEM;
fail_dev:
	free_netdev(ra0);
fail:
	free_slots();
	return err;
}

static void __exit wlinkdrv_exit(void)
{
	proc_remove(proc_dir);
	unregister_netdev(ra0);
	free_netdev(ra0);
	free_slots();
}

module_init(wlinkdrv_init);
module_exit(wlinkdrv_exit);
MODULE_DESCRIPTION("The virtual module's stand-in wireless driver (ra0, no radio)");
MODULE_LICENSE("GPL");
