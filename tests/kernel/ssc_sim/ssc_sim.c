// SPDX-License-Identifier: GPL-2.0
/*
 * ssc_sim: a simulated AT91 SSC 0 with its PDC, for running the pcmlink
 * driver unchanged in User-Mode Linux and in the ARM926 test machine
 * (versatilepb). Test equipment only; never part of a board image.
 *
 * It provides ssc_request()/ssc_free() like the AT91 SSC layer, with a fixed
 * clock, a real Linux interrupt and a register window that emulates the SSC
 * and PDC registers the driver uses: behind ioremap() and the logic I/O
 * memory layer in UML, and as an unmapped window on ARM, whose accesses fault
 * and are performed here (the test kernel's mmio-trap hook). While a
 * direction is enabled (SSC, PDC and clock), an hrtimer completes one PDC
 * block every count / 8000 s: the transmit side takes the block from memory
 * (and keeps its words for the "played" attribute), the receive side stores
 * that block (loopback=1), a sine of tone_hz coded as the codec delivers it,
 * or a counting pattern, and the ENDTX/ENDRX flags raise the interrupt until
 * the driver rearms the counters. As on the chip, an end flag stays set while
 * its counter is zero: a write of zero does not clear it, and enabling its
 * interrupt then holds the line up; an interrupt the handler never clears is
 * reported as a storm.
 *
 * Anything unexpected (a register outside the set, a PDC address that is not
 * kernel memory, a transfer with the clock off) is reported with "ssc_sim:
 * fault:" so that the test run can fail on it.
 */

#define pr_fmt(fmt) "ssc_sim: " fmt

#include <linux/atmel-ssc.h>
#include <linux/atmel_pdc.h>
#include <linux/clk.h>
#include <linux/clk-provider.h>
#include <linux/dma-mapping.h>
#include <linux/err.h>
#include <linux/hrtimer.h>
#include <linux/interrupt.h>
#include <linux/io.h>
#include <linux/irq.h>
#include <linux/ktime.h>
#ifdef CONFIG_UML
#include <linux/logic_iomem.h>
#endif
#include <linux/mm.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/spinlock.h>
#include <linux/vmalloc.h>
#ifdef CONFIG_ARM
#include <asm/mmio_trap.h>
#include "arm_access.h"
#endif

static bool loopback;
module_param(loopback, bool, 0444);
MODULE_PARM_DESC(loopback, "receive each transmitted block (default: a counting pattern)");
static unsigned int tone_hz;
module_param(tone_hz, uint, 0444);
MODULE_PARM_DESC(tone_hz, "receive a sine of this frequency, A-law in bits 11-18 (0: off)");

/* Below the virtual PCI window, which starts at 0xf0000000. */
#define SIM_REGS_BASE	0xe0000000
#define SIM_REGS_SIZE	0x4000
#define SIM_MCK_HZ	99328000
#define NS_PER_WORD	125000	/* 8000 words per second */
#define PDC_MAX_WORDS	65535
#define FIRST_IRQ	100	/* 0-63 belong to UML's own devices */
/* Deliveries of a line that stays up before it counts as a storm. */
#define STORM_ROUNDS	1000

/* The transmitted words kept for the "played" attribute: two seconds. */
#define PLAYED_WORDS	16000

#define SR_TXBUFE	BIT(3)
#define SR_RXBUFF	BIT(7)
#define END_FLAGS	(SSC_BIT(SR_ENDRX) | SSC_BIT(SR_ENDTX))

struct sim_dir {
	bool ssc_on;
	bool pdc_on;
	u32 ptr, cnt, next_ptr, next_cnt;
	bool end;		/* ENDRX/ENDTX: the counter is at zero */
};

struct sim_ssc {
	spinlock_t lock;
	u32 cmr, rcmr, rfmr, tcmr, tfmr, imr;
	struct sim_dir rx, tx;
	u32 counter;		/* next word of the counting pattern */
	u32 *loop;		/* last transmitted block */
	u32 loop_words;
	u32 phase;		/* of the received tone, a full turn is 2^32 */
	u32 *played;		/* ring of the last PLAYED_WORDS sent */
	u32 played_next;	/* where the next sent word goes */
	u64 played_total;
	u32 *snapshot;		/* the ring in order, taken on request */
	u32 snapshot_words;
	u64 rx_blocks, tx_blocks, tx_fill_blocks;
	struct hrtimer timer;
	struct hrtimer line;	/* delivers a line raised by a register write */
	unsigned long faults;
};

static struct sim_ssc sim;
static struct ssc_device ssc_dev;
static struct platform_device *pdev;
static struct clk *mck;
#ifdef CONFIG_UML
static struct resource regs_res = {
	.name = "ssc_sim",
	.start = SIM_REGS_BASE,
	.end = SIM_REGS_BASE + SIM_REGS_SIZE - 1,
	.flags = IORESOURCE_MEM,
};
#endif

static void report(const char *what, u32 value)
{
	sim.faults++;
	pr_err("fault: %s (0x%08x)\n", what, value);
}

/* The kernel address of a PDC transfer, or NULL when it is not RAM. */
static void *dma_target(u32 addr, u32 words)
{
	phys_addr_t first = addr;
	phys_addr_t last = first + (phys_addr_t)words * 4 - 1;

	if (!pfn_valid(PHYS_PFN(first)) || !pfn_valid(PHYS_PFN(last)))
		return NULL;
	return phys_to_virt(first);
}

static bool running(const struct sim_dir *d)
{
	return d->ssc_on && d->pdc_on && d->cnt;
}

/* The PDC's switch to the next buffer once a block is done. */
static void block_done(struct sim_dir *d)
{
	d->ptr = d->next_ptr;
	d->cnt = d->next_cnt;
	d->next_ptr = 0;
	d->next_cnt = 0;
	d->end = true;
}

/*
 * The PDC reads physical memory. Here the buffer is read through the
 * kernel's linear mapping while the driver writes its uncached alias; the
 * emulators have no caches, so both see the same bytes.
 */
static void move_tx(void)
{
	struct sim_dir *d = &sim.tx;
	u32 *src = dma_target(d->ptr, d->cnt);
	u32 i;

	if (!src) {
		report("transmit pointer outside memory", d->ptr);
		d->pdc_on = false;
		return;
	}
	memcpy(sim.loop, src, d->cnt * 4);
	sim.loop_words = d->cnt;
	for (i = 0; i < d->cnt; i++) {
		sim.played[sim.played_next] = src[i];
		sim.played_next = (sim.played_next + 1) % PLAYED_WORDS;
	}
	sim.played_total += d->cnt;
	sim.tx_blocks++;
	if (src[0] == 0x55555555 && src[d->cnt - 1] == 0x55555555)
		sim.tx_fill_blocks++;
	block_done(d);
}

/* One period of a sine at -6 dBFS, Q15. */
static const s16 sine64[64] = {
	0, 1606, 3196, 4756, 6270, 7723, 9102, 10394, 11585, 12665, 13623,
	14449, 15137, 15679, 16069, 16305, 16384, 16305, 16069, 15679, 15137,
	14449, 13623, 12665, 11585, 10394, 9102, 7723, 6270, 4756, 3196, 1606,
	0, -1606, -3196, -4756, -6270, -7723, -9102, -10394, -11585, -12665,
	-13623, -14449, -15137, -15679, -16069, -16305, -16384, -16305, -16069,
	-15679, -15137, -14449, -13623, -12665, -11585, -10394, -9102, -7723,
	-6270, -4756, -3196, -1606,
};

/* G.711 A-law of a 16-bit sample. */
static u8 alaw_encode(int pcm)
{
	static const int seg_end[8] = {
		0x1f, 0x3f, 0x7f, 0xff, 0x1ff, 0x3ff, 0x7ff, 0xfff
	};
	int mask, seg;

	pcm >>= 3;
	if (pcm >= 0) {
		mask = 0xd5;
	} else {
		mask = 0x55;
		pcm = -pcm - 1;
	}
	for (seg = 0; seg < 8 && pcm > seg_end[seg]; seg++)
		;
	if (seg == 8)
		return 0x7f ^ mask;
	return ((seg << 4) | ((pcm >> (seg < 2 ? 1 : seg)) & 0xf)) ^ mask;
}

static u32 tone_word(void)
{
	u32 i = sim.phase >> 26;
	s32 frac = (sim.phase >> 10) & 0xffff;
	s32 a = sine64[i], b = sine64[(i + 1) % 64];

	sim.phase += (u32)div_u64((u64)tone_hz << 32, 8000);
	return (u32)alaw_encode(a + (((b - a) * frac) >> 16)) << 11;
}

static void move_rx(void)
{
	struct sim_dir *d = &sim.rx;
	u32 *dst = dma_target(d->ptr, d->cnt);
	u32 i;

	if (!dst) {
		report("receive pointer outside memory", d->ptr);
		d->pdc_on = false;
		return;
	}
	for (i = 0; i < d->cnt; i++) {
		if (loopback)
			dst[i] = i < sim.loop_words ? sim.loop[i] : 0;
		else if (tone_hz)
			dst[i] = tone_word();
		else
			dst[i] = sim.counter++;
	}
	sim.rx_blocks++;
	block_done(d);
}

static u32 status(void)
{
	u32 sr = 0;

	if (sim.rx.end)
		sr |= SSC_BIT(SR_ENDRX);
	if (!sim.rx.cnt && !sim.rx.next_cnt)
		sr |= SR_RXBUFF;
	if (sim.tx.end)
		sr |= SSC_BIT(SR_ENDTX);
	if (!sim.tx.cnt && !sim.tx.next_cnt)
		sr |= SR_TXBUFE;
	return sr;
}

static u32 block_words(void)
{
	return running(&sim.rx) ? sim.rx.cnt : sim.tx.cnt;
}

static bool any_running(void)
{
	return running(&sim.rx) || running(&sim.tx);
}

static enum hrtimer_restart tick(struct hrtimer *t)
{
	unsigned long flags;
	int rounds;
	u32 words;

	spin_lock_irqsave(&sim.lock, flags);
	if (!__clk_is_enabled(mck) && any_running())
		report("transfer with the peripheral clock off", 0);
	if (running(&sim.tx))
		move_tx();
	if (running(&sim.rx))
		move_rx();
	spin_unlock_irqrestore(&sim.lock, flags);

	/* A level interrupt: raise it while an enabled flag stays set. */
	for (rounds = 0; rounds < 4; rounds++) {
		spin_lock_irqsave(&sim.lock, flags);
		words = status() & sim.imr;
		spin_unlock_irqrestore(&sim.lock, flags);
		if (!(words & END_FLAGS))
			break;
		local_irq_save(flags);
		generic_handle_irq(ssc_dev.irq);
		local_irq_restore(flags);
	}

	spin_lock_irqsave(&sim.lock, flags);
	words = block_words();
	if (!words || !any_running()) {
		spin_unlock_irqrestore(&sim.lock, flags);
		return HRTIMER_NORESTART;
	}
	hrtimer_forward_now(t, ns_to_ktime((u64)words * NS_PER_WORD));
	spin_unlock_irqrestore(&sim.lock, flags);
	return HRTIMER_RESTART;
}

static void write_cr(u32 v)
{
	if (v & SSC_BIT(CR_SWRST)) {
		sim.cmr = 0;
		sim.rcmr = 0;
		sim.rfmr = 0;
		sim.tcmr = 0;
		sim.tfmr = 0;
		sim.imr = 0;
		sim.rx.ssc_on = false;
		sim.tx.ssc_on = false;
		/* The PDC, and with it the end flags, is not the SSC's to reset. */
		return;
	}
	if (v & SSC_BIT(CR_RXDIS))
		sim.rx.ssc_on = false;
	else if (v & SSC_BIT(CR_RXEN))
		sim.rx.ssc_on = true;
	if (v & SSC_BIT(CR_TXDIS))
		sim.tx.ssc_on = false;
	else if (v & SSC_BIT(CR_TXEN))
		sim.tx.ssc_on = true;
}

static void write_ptcr(u32 v)
{
	if (v & ATMEL_PDC_RXTDIS)
		sim.rx.pdc_on = false;
	else if (v & ATMEL_PDC_RXTEN)
		sim.rx.pdc_on = true;
	if (v & ATMEL_PDC_TXTDIS)
		sim.tx.pdc_on = false;
	else if (v & ATMEL_PDC_TXTEN)
		sim.tx.pdc_on = true;
}

static void write_count(u32 *reg, u32 v, struct sim_dir *d)
{
	if (v > PDC_MAX_WORDS)
		report("PDC counter above 65535", v);
	*reg = v & 0xffff;
	/* A running channel whose counter is zero takes the next buffer. */
	if (d->pdc_on && !d->cnt && d->next_cnt) {
		d->ptr = d->next_ptr;
		d->cnt = d->next_cnt;
		d->next_ptr = 0;
		d->next_cnt = 0;
	}
	/* A write clears the end flag, unless the counter is still zero. */
	d->end = !d->cnt;
}

static void reg_write(void *priv, unsigned int offset, int size,
		      unsigned long val)
{
	unsigned long flags;
	bool was_running;
	u32 v = val;

	if (size != 4) {
		report("register access not 32 bits wide", offset);
		return;
	}
	spin_lock_irqsave(&sim.lock, flags);
	was_running = any_running();
	switch (offset) {
	case SSC_CR:
		write_cr(v);
		break;
	case SSC_CMR:
		sim.cmr = v;
		break;
	case SSC_RCMR:
		sim.rcmr = v;
		break;
	case SSC_RFMR:
		sim.rfmr = v;
		break;
	case SSC_TCMR:
		sim.tcmr = v;
		break;
	case SSC_TFMR:
		sim.tfmr = v;
		break;
	case SSC_IER:
		sim.imr |= v;
		break;
	case SSC_IDR:
		sim.imr &= ~v;
		break;
	case ATMEL_PDC_RPR:
		sim.rx.ptr = v;
		break;
	case ATMEL_PDC_RCR:
		write_count(&sim.rx.cnt, v, &sim.rx);
		break;
	case ATMEL_PDC_RNPR:
		sim.rx.next_ptr = v;
		break;
	case ATMEL_PDC_RNCR:
		write_count(&sim.rx.next_cnt, v, &sim.rx);
		break;
	case ATMEL_PDC_TPR:
		sim.tx.ptr = v;
		break;
	case ATMEL_PDC_TCR:
		write_count(&sim.tx.cnt, v, &sim.tx);
		break;
	case ATMEL_PDC_TNPR:
		sim.tx.next_ptr = v;
		break;
	case ATMEL_PDC_TNCR:
		write_count(&sim.tx.next_cnt, v, &sim.tx);
		break;
	case ATMEL_PDC_PTCR:
		write_ptcr(v);
		break;
	default:
		report("write to an unexpected register", offset);
		break;
	}
	/*
	 * The frame clock starts with the transfers: the first block ends one
	 * block period after the start. The interrupt handler only rearms
	 * running transfers, so this never races the timer's own restart.
	 */
	if (!was_running && any_running())
		hrtimer_start(&sim.timer,
			      ns_to_ktime((u64)block_words() * NS_PER_WORD),
			      HRTIMER_MODE_REL_HARD);
	/*
	 * The write may have raised the line (an interrupt enabled on a set
	 * flag): delivered from a timer, as the driver holds its lock here.
	 */
	if ((status() & sim.imr & END_FLAGS) && !hrtimer_active(&sim.line))
		hrtimer_start(&sim.line, ns_to_ktime(1000), HRTIMER_MODE_REL_HARD);
	spin_unlock_irqrestore(&sim.lock, flags);
}

/* A level interrupt: delivered while it stays up, a storm if it never drops. */
static enum hrtimer_restart line(struct hrtimer *t)
{
	unsigned long flags;
	int rounds;
	u32 up;

	for (rounds = 0; rounds < STORM_ROUNDS; rounds++) {
		spin_lock_irqsave(&sim.lock, flags);
		up = status() & sim.imr & END_FLAGS;
		spin_unlock_irqrestore(&sim.lock, flags);
		if (!up)
			return HRTIMER_NORESTART;
		local_irq_save(flags);
		generic_handle_irq(ssc_dev.irq);
		local_irq_restore(flags);
	}
	spin_lock_irqsave(&sim.lock, flags);
	report("interrupt storm: an enabled end flag the handler never clears", up);
	/* Held down from here, so that the machine goes on to report it. */
	sim.imr &= ~END_FLAGS;
	spin_unlock_irqrestore(&sim.lock, flags);
	return HRTIMER_NORESTART;
}

static unsigned long reg_read(void *priv, unsigned int offset, int size)
{
	unsigned long flags;
	u32 v = 0;

	if (size != 4) {
		report("register access not 32 bits wide", offset);
		return 0;
	}
	spin_lock_irqsave(&sim.lock, flags);
	switch (offset) {
	case SSC_CMR:
		v = sim.cmr;
		break;
	case SSC_RCMR:
		v = sim.rcmr;
		break;
	case SSC_RFMR:
		v = sim.rfmr;
		break;
	case SSC_TCMR:
		v = sim.tcmr;
		break;
	case SSC_TFMR:
		v = sim.tfmr;
		break;
	case SSC_SR:
		v = status();
		break;
	case SSC_IMR:
		v = sim.imr;
		break;
	case ATMEL_PDC_RPR:
		v = sim.rx.ptr;
		break;
	case ATMEL_PDC_RCR:
		v = sim.rx.cnt;
		break;
	case ATMEL_PDC_RNPR:
		v = sim.rx.next_ptr;
		break;
	case ATMEL_PDC_RNCR:
		v = sim.rx.next_cnt;
		break;
	case ATMEL_PDC_TPR:
		v = sim.tx.ptr;
		break;
	case ATMEL_PDC_TCR:
		v = sim.tx.cnt;
		break;
	case ATMEL_PDC_TNPR:
		v = sim.tx.next_ptr;
		break;
	case ATMEL_PDC_TNCR:
		v = sim.tx.next_cnt;
		break;
	case ATMEL_PDC_PTSR:
		v = (sim.rx.pdc_on ? ATMEL_PDC_RXTEN : 0) |
		    (sim.tx.pdc_on ? ATMEL_PDC_TXTEN : 0);
		break;
	default:
		report("read of an unexpected register", offset);
		break;
	}
	spin_unlock_irqrestore(&sim.lock, flags);
	return v;
}

#ifdef CONFIG_UML
static const struct logic_iomem_ops regs_ops = {
	.read = reg_read,
	.write = reg_write,
};

static long regs_map(unsigned long offset, size_t size,
		     const struct logic_iomem_ops **ops, void **priv)
{
	*ops = &regs_ops;
	*priv = &sim;
	return offset;
}

static const struct logic_iomem_region_ops regs_region_ops = {
	.map = regs_map,
};

/* From here on the region stays: the I/O memory layer keeps it. */
static void __iomem *regs_window(void)
{
	if (logic_iomem_add_region(&regs_res, &regs_region_ops))
		return NULL;
	return ioremap(SIM_REGS_BASE, SIM_REGS_SIZE);
}
#endif

#ifdef CONFIG_ARM
/*
 * The window: kernel addresses nothing ever maps. The second megabyte of the
 * PCI I/O window is reserved with the rest of it at boot, but lies beyond
 * the I/O space the kernel maps (IO_SPACE_LIMIT is 1 MiB).
 */
#define REGS_WINDOW	(PCI_IO_VIRT_BASE + SZ_1M)

/* Every access to the unmapped window ends here. */
static bool regs_trap(unsigned long addr, unsigned int fsr,
		      struct pt_regs *regs)
{
	unsigned long start = REGS_WINDOW;
	struct arm_access a;
	u32 insn;

	if (addr < start || addr >= start + SIM_REGS_SIZE)
		return false;
	if (thumb_mode(regs) ||
	    get_kernel_nofault(insn, (u32 *)instruction_pointer(regs)) ||
	    !arm_access_decode(insn, regs, &a) || a.addr != addr) {
		report("register access by an instruction not emulated",
		       instruction_pointer(regs));
		return false;
	}
	if (a.load) {
		arm_access_complete(&a, regs, reg_read(&sim, addr - start, a.size));
	} else {
		reg_write(&sim, addr - start, a.size, regs->uregs[a.rd]);
		arm_access_complete(&a, regs, 0);
	}
	return true;
}

/* The trap hook stays with the window until the test kernel stops. */
static void __iomem *regs_window(void)
{
	BUILD_BUG_ON(IO_SPACE_LIMIT >= SZ_1M);
	if (arm_mmio_trap_set(regs_trap))
		return NULL;
	return (void __iomem *)REGS_WINDOW;
}
#endif

static DEFINE_MUTEX(users_mutex);

struct ssc_device *ssc_request(unsigned int ssc_num)
{
	struct ssc_device *ssc = ERR_PTR(-ENODEV);

	mutex_lock(&users_mutex);
	if (ssc_num == 0) {
		if (ssc_dev.user) {
			ssc = ERR_PTR(-EBUSY);
		} else {
			ssc_dev.user++;
			ssc = &ssc_dev;
		}
	}
	mutex_unlock(&users_mutex);
	return ssc;
}
EXPORT_SYMBOL(ssc_request);

void ssc_free(struct ssc_device *ssc)
{
	mutex_lock(&users_mutex);
	if (ssc != &ssc_dev || !ssc_dev.user)
		report("freeing an SSC that is not held", 0);
	else
		ssc_dev.user--;
	mutex_unlock(&users_mutex);
}
EXPORT_SYMBOL(ssc_free);

/*
 * What the test sees of the line: "counters" (blocks each way, transmitted
 * blocks that were all fill), and the transmitted words, oldest first, in
 * "played" as of the last write to "snapshot".
 */
static ssize_t counters_show(struct device *dev, struct device_attribute *attr,
			     char *buf)
{
	unsigned long flags;
	ssize_t n;

	spin_lock_irqsave(&sim.lock, flags);
	n = sysfs_emit(buf,
		       "rx_blocks %llu\ntx_blocks %llu\ntx_fill_blocks %llu\n"
		       "played_words %llu\nfaults %lu\n",
		       sim.rx_blocks, sim.tx_blocks, sim.tx_fill_blocks,
		       sim.played_total, sim.faults);
	spin_unlock_irqrestore(&sim.lock, flags);
	return n;
}
static DEVICE_ATTR_RO(counters);

static ssize_t snapshot_store(struct device *dev, struct device_attribute *attr,
			      const char *buf, size_t count)
{
	unsigned long flags;
	u32 n, i, first;

	spin_lock_irqsave(&sim.lock, flags);
	n = min_t(u64, sim.played_total, PLAYED_WORDS);
	first = (sim.played_next + PLAYED_WORDS - n) % PLAYED_WORDS;
	for (i = 0; i < n; i++)
		sim.snapshot[i] = sim.played[(first + i) % PLAYED_WORDS];
	sim.snapshot_words = n;
	spin_unlock_irqrestore(&sim.lock, flags);
	return count;
}
static DEVICE_ATTR_WO(snapshot);

static ssize_t played_read(struct file *file, struct kobject *kobj,
			   struct bin_attribute *attr, char *buf, loff_t off,
			   size_t count)
{
	size_t size = (size_t)sim.snapshot_words * 4;

	if (off >= size)
		return 0;
	count = min_t(size_t, count, size - off);
	memcpy(buf, (char *)sim.snapshot + off, count);
	return count;
}
static BIN_ATTR_RO(played, PLAYED_WORDS * 4);

static struct attribute *sim_attrs[] = {
	&dev_attr_counters.attr,
	&dev_attr_snapshot.attr,
	NULL,
};

static struct bin_attribute *sim_bin_attrs[] = {
	&bin_attr_played,
	NULL,
};

static const struct attribute_group sim_group = {
	.attrs = sim_attrs,
	.bin_attrs = sim_bin_attrs,
};

static int __init ssc_sim_init(void)
{
	int irq;
	int ret;

	spin_lock_init(&sim.lock);
	hrtimer_init(&sim.timer, CLOCK_MONOTONIC, HRTIMER_MODE_REL_HARD);
	sim.timer.function = tick;
	hrtimer_init(&sim.line, CLOCK_MONOTONIC, HRTIMER_MODE_REL_HARD);
	sim.line.function = line;
	/* Counters are zero after reset, so are their end flags set. */
	sim.rx.end = true;
	sim.tx.end = true;
	sim.loop = vzalloc(PDC_MAX_WORDS * 4);
	sim.played = vzalloc(PLAYED_WORDS * 4);
	sim.snapshot = vzalloc(PLAYED_WORDS * 4);
	if (!sim.loop || !sim.played || !sim.snapshot) {
		ret = -ENOMEM;
		goto no_pdev;
	}

	pdev = platform_device_register_simple("ssc", 0, NULL, 0);
	if (IS_ERR(pdev)) {
		ret = PTR_ERR(pdev);
		goto no_pdev;
	}
	ret = dma_coerce_mask_and_coherent(&pdev->dev, DMA_BIT_MASK(32));
	if (ret)
		goto no_clk;
	mck = clk_register_fixed_rate(NULL, "ssc_sim_mck", NULL, 0, SIM_MCK_HZ);
	if (IS_ERR(mck)) {
		ret = PTR_ERR(mck);
		goto no_clk;
	}
	irq = irq_alloc_descs(-1, FIRST_IRQ, 1, NUMA_NO_NODE);
	if (irq < 0) {
		ret = irq;
		goto no_irq;
	}
	irq_set_chip_and_handler(irq, &dummy_irq_chip, handle_simple_irq);
	irq_clear_status_flags(irq, IRQ_NOREQUEST | IRQ_NOPROBE);

	ret = device_add_group(&pdev->dev, &sim_group);
	if (ret)
		goto no_regs;
	ssc_dev.regs = regs_window();
	if (!ssc_dev.regs) {
		ret = -ENOMEM;
		goto no_regs;
	}
	ssc_dev.pdev = pdev;
	ssc_dev.clk = mck;
	ssc_dev.irq = irq;
	ssc_dev.phybase = SIM_REGS_BASE;

	if (loopback)
		pr_info("SSC 0 at 0x%08x, irq %d, loopback\n", SIM_REGS_BASE,
			irq);
	else if (tone_hz)
		pr_info("SSC 0 at 0x%08x, irq %d, a %u Hz tone\n",
			SIM_REGS_BASE, irq, tone_hz);
	else
		pr_info("SSC 0 at 0x%08x, irq %d, counting pattern\n",
			SIM_REGS_BASE, irq);
	return 0;

no_regs:
	irq_free_descs(irq, 1);
no_irq:
	clk_unregister_fixed_rate(mck);
no_clk:
	platform_device_unregister(pdev);
no_pdev:
	vfree(sim.snapshot);
	vfree(sim.played);
	vfree(sim.loop);
	return ret;
}

/*
 * No exit: the register region cannot be taken back from the I/O memory
 * layer (nor, on ARM, the window from the trap hook while a driver may still
 * hold it), so the module stays until the test kernel stops.
 */
module_init(ssc_sim_init);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Simulated AT91 SSC 0 and PDC for testing pcmlink");
