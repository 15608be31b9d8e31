// SPDX-License-Identifier: GPL-2.0
/*
 * i2c_sim: the board's first I2C bus with its MAX9768 loudspeaker amplifier
 * at 0x4b, as adapter 0 ("/dev/i2c-0" through i2c-dev), for the ARM926 test
 * machine. Test equipment only; never part of a board image.
 *
 * The amplifier acknowledges writes and keeps every byte with the time it
 * arrived; any other address does not answer (-ENXIO, as a transfer nobody
 * acknowledges), and reads are refused: the product only writes. The device's
 * "writes" lists "SECONDS.NANOSECONDS 0xADDR 0xVALUE" per byte, oldest
 * first, and "count" the bytes received (the first WRITES_KEPT are kept).
 */

#define pr_fmt(fmt) "i2c_sim: " fmt

#include <linux/i2c.h>
#include <linux/ktime.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>

#define AMP_ADDR	0x4b
#define WRITES_KEPT	512

struct amp_write {
	u64 ns;
	u8 value;
};

static struct amp_write kept[WRITES_KEPT];
static unsigned int count;
static DEFINE_MUTEX(lock);
static struct platform_device *pdev;

static int sim_xfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
	int i, j;

	for (i = 0; i < num; i++) {
		if (msgs[i].addr != AMP_ADDR || (msgs[i].flags & I2C_M_TEN))
			return -ENXIO;
		if (msgs[i].flags & I2C_M_RD)
			return -EOPNOTSUPP;
	}
	mutex_lock(&lock);
	for (i = 0; i < num; i++) {
		for (j = 0; j < msgs[i].len; j++, count++) {
			if (count < WRITES_KEPT) {
				kept[count].ns = ktime_get_ns();
				kept[count].value = msgs[i].buf[j];
			}
		}
	}
	mutex_unlock(&lock);
	return num;
}

static u32 sim_functionality(struct i2c_adapter *adap)
{
	return I2C_FUNC_I2C;
}

static const struct i2c_algorithm sim_algo = {
	.master_xfer = sim_xfer,
	.functionality = sim_functionality,
};

static struct i2c_adapter adapter = {
	.owner = THIS_MODULE,
	.class = I2C_CLASS_HWMON,
	.algo = &sim_algo,
	.nr = 0,
	.name = "i2c_sim",
};

static ssize_t writes_show(struct device *dev, struct device_attribute *attr,
			   char *buf)
{
	unsigned int i;
	ssize_t n = 0;

	mutex_lock(&lock);
	for (i = 0; i < min_t(unsigned int, count, WRITES_KEPT); i++) {
		u64 ns = kept[i].ns;
		u32 rem = do_div(ns, NSEC_PER_SEC);

		if (n + 40 >= PAGE_SIZE)
			break;
		n += sysfs_emit_at(buf, n, "%llu.%09u 0x%02x 0x%02x\n", ns, rem,
				   AMP_ADDR, kept[i].value);
	}
	mutex_unlock(&lock);
	return n;
}
static DEVICE_ATTR_RO(writes);

static ssize_t count_show(struct device *dev, struct device_attribute *attr,
			  char *buf)
{
	unsigned int n;

	mutex_lock(&lock);
	n = count;
	mutex_unlock(&lock);
	return sysfs_emit(buf, "%u\n", n);
}
static DEVICE_ATTR_RO(count);

static struct attribute *sim_attrs[] = {
	&dev_attr_writes.attr,
	&dev_attr_count.attr,
	NULL,
};
ATTRIBUTE_GROUPS(sim);

static int __init i2c_sim_init(void)
{
	int ret;

	pdev = platform_device_register_simple("i2c_sim", PLATFORM_DEVID_NONE,
					       NULL, 0);
	if (IS_ERR(pdev))
		return PTR_ERR(pdev);
	ret = device_add_groups(&pdev->dev, sim_groups);
	if (ret)
		goto fail;
	adapter.dev.parent = &pdev->dev;
	ret = i2c_add_numbered_adapter(&adapter);
	if (ret)
		goto fail;
	pr_info("adapter %d, MAX9768 at 0x%02x\n", adapter.nr, AMP_ADDR);
	return 0;

fail:
	platform_device_unregister(pdev);
	return ret;
}

static void __exit i2c_sim_exit(void)
{
	i2c_del_adapter(&adapter);
	platform_device_unregister(pdev);
}

module_init(i2c_sim_init);
module_exit(i2c_sim_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Simulated I2C bus with a MAX9768 amplifier at 0x4b");
