// SPDX-License-Identifier: GPL-2.0
/*
 * pcmlink: SSC 0 of the AT91SAM9260 as a full-duplex PCM port.
 *
 * The SSC's peripheral DMA controller moves blocks of 32-bit words between
 * the SSC and two receive and two transmit buffers used in turn, so the CPU
 * sees one interrupt per block and direction. User space reads the newest
 * received block and writes the next block to send through the character
 * device, and configures framing and block size with PCMLINK_IOCTL_CFG.
 *
 * Built from this one source for the board's kernels 2.6.36 and 2.6.37 and
 * for current ones (6.1 here); the two calls that came later are mapped back
 * to their old forms below (Kbuild tells a 2.6 kernel).
 */

#define pr_fmt(fmt) "pcmlink: " fmt

#include <linux/atmel-ssc.h>
#include <linux/atmel_pdc.h>
#include <linux/clk.h>
#include <linux/dma-mapping.h>
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/interrupt.h>
#include <linux/io.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/sched.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/uaccess.h>
#include <linux/wait.h>

#include "pcmlink.h"

#ifdef PCMLINK_CLK_WITHOUT_PREPARE
/* The 2.6 kernels' clocks have no prepare step (it came with 3.3). */
static inline int clk_prepare_enable(struct clk *clk)
{
	return clk_enable(clk);
}

static inline void clk_disable_unprepare(struct clk *clk)
{
	clk_disable(clk);
}
#endif

#ifndef READ_ONCE
/* Before 3.19 its forerunner does the same for a scalar. */
#define READ_ONCE(x) ACCESS_ONCE(x)
#endif

#define PCMLINK_NAME	"pcmlink"
#define PCMLINK_MINORS	256
#define BUF_BYTES	(PCMLINK_MAX_WORDS * PCMLINK_WORD_BYTES)
/* The PDC's counters are 16 bits wide. */
#define PDC_MAX_COUNT	65535
/* Sent when no write refills a transmit block in time. */
#define TX_FILL		0x55

#define CR_RXEN		SSC_BIT(CR_RXEN)
#define CR_RXDIS	SSC_BIT(CR_RXDIS)
#define CR_TXEN		SSC_BIT(CR_TXEN)
#define CR_TXDIS	SSC_BIT(CR_TXDIS)
#define CR_SWRST	SSC_BIT(CR_SWRST)
#define INT_ENDTX	SSC_BIT(SR_ENDTX)
#define INT_ENDRX	SSC_BIT(SR_ENDRX)

struct sc_alloc {
	struct ssc_device *ssc;
	dma_addr_t rx_dma[2];
	void *rx_buf[2];
	s32 rx_ready;		/* completed block not yet read, or -1 */
	s32 rx_last;		/* buffer that completed last */
	dma_addr_t tx_dma[2];
	void *tx_buf[2];
	s32 tx_free;		/* buffer a writer may fill now, or -1 */
	s32 tx_last;
	/*
	 * Guards the indices, the flags, RXFER_COUNT and the register
	 * sequences against the interrupt handler.
	 */
	spinlock_t lock;
};

static struct sc_alloc sc_state;
static struct sc_alloc *sc = &sc_state;

static u32 RXFER_COUNT;
static int rqflag;
static int tqflag;
static DECLARE_WAIT_QUEUE_HEAD(rq);
static DECLARE_WAIT_QUEUE_HEAD(tq);
/* One configuration at a time: it drops the lock while zeroing buffers. */
static DEFINE_MUTEX(cfg_mutex);

static inline void reg_write(u32 offset, u32 value)
{
	writel(value, sc->ssc->regs + offset);
}

static inline u32 reg_read(u32 offset)
{
	return readl(sc->ssc->regs + offset);
}

static irqreturn_t ssc_interrupt(int irq, void *dev_id)
{
	struct sc_alloc *s = dev_id;
	u32 status;
	int b;

	spin_lock(&s->lock);
	status = reg_read(SSC_SR) & reg_read(SSC_IMR);

	/* One direction per call; a pending ENDTX raises the line again. */
	if (status & INT_ENDRX) {
		b = (s->rx_last + 1) % 2;
		reg_write(ATMEL_PDC_RNPR, s->rx_dma[b]);
		reg_write(ATMEL_PDC_RNCR, RXFER_COUNT);
		rqflag = 1;
		s->rx_ready = b;
		s->rx_last = b;
		spin_unlock(&s->lock);
		wake_up_interruptible(&rq);
		return IRQ_HANDLED;
	}

	if (status & INT_ENDTX) {
		b = (s->tx_last + 1) % 2;
		reg_write(ATMEL_PDC_TNPR, s->tx_dma[b]);
		reg_write(ATMEL_PDC_TNCR, RXFER_COUNT);
		memset(s->tx_buf[b], TX_FILL, RXFER_COUNT * PCMLINK_WORD_BYTES);
		s->tx_free = b;
		s->tx_last = b;
		tqflag = 1;
		spin_unlock(&s->lock);
		wake_up_interruptible(&tq);
		return IRQ_HANDLED;
	}

	spin_unlock(&s->lock);
	return IRQ_NONE;
}

/*
 * Checks count against the block size, waits until *index names a buffer and
 * takes it (the index goes back to -1), so no block is handed out twice.
 * Returns the buffer, or ERR_PTR(-EINVAL) or ERR_PTR(-ERESTARTSYS).
 */
static void *take_block(size_t count, s32 *index, int *flag,
			wait_queue_head_t *queue, void *const bufs[2])
{
	unsigned long flags;
	void *buf;

	spin_lock_irqsave(&sc->lock, flags);
	if (count == 0 || count > (size_t)RXFER_COUNT * PCMLINK_WORD_BYTES) {
		spin_unlock_irqrestore(&sc->lock, flags);
		return ERR_PTR(-EINVAL);
	}
	while (*index == -1) {
		if (!*flag) {
			spin_unlock_irqrestore(&sc->lock, flags);
			if (wait_event_interruptible(*queue, READ_ONCE(*flag)))
				return ERR_PTR(-ERESTARTSYS);
			spin_lock_irqsave(&sc->lock, flags);
		}
		*flag = 0;
	}
	buf = bufs[*index];
	*index = -1;
	spin_unlock_irqrestore(&sc->lock, flags);
	return buf;
}

static ssize_t dev_read(struct file *file, char __user *buf, size_t count,
			loff_t *ppos)
{
	void *src = take_block(count, &sc->rx_ready, &rqflag, &rq, sc->rx_buf);

	if (IS_ERR(src))
		return PTR_ERR(src);
	/* The PDC refills this buffer only after the block now in flight. */
	if (copy_to_user(buf, src, count)) {
		pr_err("rd copy_to_user failed\n");
		return -EFAULT;
	}
	return count;
}

static ssize_t dev_write(struct file *file, const char __user *buf,
			 size_t count, loff_t *ppos)
{
	void *dst = take_block(count, &sc->tx_free, &tqflag, &tq, sc->tx_buf);

	if (IS_ERR(dst))
		return PTR_ERR(dst);
	/* The PDC sends this buffer after the block now in flight. */
	if (copy_from_user(dst, buf, count)) {
		memset(dst, 0, count);
		pr_err("wr copy_from_user failed\n");
		return -EFAULT;
	}
	return count;
}

static void configure(const struct pcmlink_cfg *cfg, bool new_count)
{
	unsigned long flags;
	int i;

	spin_lock_irqsave(&sc->lock, flags);
	if (new_count)
		RXFER_COUNT = cfg->rxfer_count;
	reg_write(SSC_IDR, INT_ENDRX);
	reg_write(ATMEL_PDC_PTCR, ATMEL_PDC_RXTDIS);
	reg_write(SSC_CR, CR_RXDIS);
	reg_write(SSC_IDR, INT_ENDTX);
	reg_write(ATMEL_PDC_PTCR, ATMEL_PDC_TXTDIS);
	reg_write(SSC_CR, CR_TXDIS);
	/* Both directions are stopped: nothing may hand out a buffer now. */
	sc->rx_ready = -1;
	sc->tx_free = -1;
	spin_unlock_irqrestore(&sc->lock, flags);

	for (i = 0; i < 2; i++) {
		memset(sc->rx_buf[i], 0, BUF_BYTES);
		memset(sc->tx_buf[i], 0, BUF_BYTES);
	}

	spin_lock_irqsave(&sc->lock, flags);
	reg_write(SSC_CR, CR_SWRST);

	reg_write(ATMEL_PDC_RPR, 0);
	reg_write(ATMEL_PDC_RCR, 0);
	reg_write(ATMEL_PDC_RNPR, 0);
	reg_write(ATMEL_PDC_RNCR, 0);
	reg_write(ATMEL_PDC_TPR, 0);
	reg_write(ATMEL_PDC_TCR, 0);
	reg_write(ATMEL_PDC_TNPR, 0);
	reg_write(ATMEL_PDC_TNCR, 0);

	reg_write(SSC_CMR, cfg->clkdiv);
	reg_write(SSC_TCMR, cfg->tcmr);
	reg_write(SSC_TFMR, cfg->tfmr);
	reg_write(SSC_RCMR, cfg->rcmr);
	reg_write(SSC_RFMR, cfg->rfmr);

	/*
	 * No block size was ever accepted: nothing to transfer. A zero PDC
	 * counter keeps ENDRX/ENDTX set, so enabling them would only make the
	 * interrupt fire without end.
	 */
	if (!RXFER_COUNT) {
		spin_unlock_irqrestore(&sc->lock, flags);
		return;
	}

	reg_write(ATMEL_PDC_RPR, sc->rx_dma[0]);
	reg_write(ATMEL_PDC_RCR, RXFER_COUNT);
	reg_write(ATMEL_PDC_RNPR, sc->rx_dma[1]);
	reg_write(ATMEL_PDC_RNCR, RXFER_COUNT);
	reg_write(ATMEL_PDC_TPR, sc->tx_dma[0]);
	reg_write(ATMEL_PDC_TCR, RXFER_COUNT);
	reg_write(ATMEL_PDC_TNPR, sc->tx_dma[1]);
	reg_write(ATMEL_PDC_TNCR, RXFER_COUNT);

	sc->rx_ready = -1;
	sc->tx_free = -1;
	sc->rx_last = 1;
	sc->tx_last = 1;

	reg_write(SSC_IER, INT_ENDRX);
	reg_write(ATMEL_PDC_PTCR, ATMEL_PDC_RXTEN);
	reg_write(SSC_CR, CR_RXEN);
	reg_write(SSC_IER, INT_ENDTX);
	reg_write(ATMEL_PDC_PTCR, ATMEL_PDC_TXTEN);
	reg_write(SSC_CR, CR_TXEN);
	spin_unlock_irqrestore(&sc->lock, flags);
}

static long dev_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	struct pcmlink_cfg cfg;
	bool new_count;

	if (cmd != PCMLINK_IOCTL_CFG) {
		pr_info("unknown ioctl (%d)\n", (int)cmd);
		return -ENOTTY;
	}
	if (copy_from_user(&cfg, (const void __user *)arg, sizeof(cfg))) {
		pr_info("PCMLINK_IOCTL_CFG copy_from_user() failed\n");
		return -EFAULT;
	}

	/* A larger block would run the PDC and the copies past the buffers. */
	new_count = cfg.rxfer_count >= 1 &&
		    cfg.rxfer_count <= PCMLINK_MAX_WORDS;
	if (cfg.rxfer_count < 1 || cfg.rxfer_count > PDC_MAX_COUNT)
		pr_info("incorrect rxfer_count, should be 1 .. 65535 !\n");
	else if (!new_count)
		pr_info("rxfer_count %u does not fit the buffers, should be 1 .. %u !\n",
			cfg.rxfer_count, PCMLINK_MAX_WORDS);

	mutex_lock(&cfg_mutex);
	configure(&cfg, new_count);
	mutex_unlock(&cfg_mutex);

	pr_info("config: clkdiv: %d, tcmr: 0x%8.8X, tfmr: 0x%8.8X, rcmr: 0x%8.8X, rfmr: 0x%8.8X, rxfer_count: %d\n",
		(int)cfg.clkdiv, cfg.tcmr, cfg.tfmr, cfg.rcmr, cfg.rfmr,
		(int)cfg.rxfer_count);
	return 0;
}

static int dev_open(struct inode *inode, struct file *file)
{
	return nonseekable_open(inode, file);
}

static int dev_release(struct inode *inode, struct file *file)
{
	return 0;
}

static const struct file_operations dev_fops = {
	.owner = THIS_MODULE,
	.read = dev_read,
	.write = dev_write,
	.unlocked_ioctl = dev_ioctl,
	.open = dev_open,
	.release = dev_release,
};

static void free_buffer(void *cpu, dma_addr_t dma)
{
	if (cpu)
		dma_free_coherent(&sc->ssc->pdev->dev, BUF_BYTES, cpu, dma);
}

static void shutdown(void)
{
	int i;

	reg_write(SSC_CR, CR_RXDIS);
	reg_write(SSC_IDR, INT_ENDRX);
	reg_write(SSC_CR, CR_TXDIS);
	reg_write(SSC_IDR, INT_ENDTX);
	reg_write(SSC_CMR, 0);
	/*
	 * The PDC still points into the buffers freed below; stop it, so the
	 * next user of the SSC cannot make it reach them.
	 */
	reg_write(ATMEL_PDC_PTCR, ATMEL_PDC_RXTDIS | ATMEL_PDC_TXTDIS);
	free_irq(sc->ssc->irq, sc);
	clk_disable_unprepare(sc->ssc->clk);
	for (i = 0; i < 2; i++) {
		free_buffer(sc->rx_buf[i], sc->rx_dma[i]);
		free_buffer(sc->tx_buf[i], sc->tx_dma[i]);
	}
}

static void *alloc_buffer(dma_addr_t *dma)
{
	return dma_alloc_coherent(&sc->ssc->pdev->dev, BUF_BYTES, dma,
				  GFP_KERNEL);
}

int __init init_module(void)
{
	struct ssc_device *ssc;
	int ret;
	int i;

	memset(sc, 0, sizeof(*sc));
	spin_lock_init(&sc->lock);

	ssc = ssc_request(0);
	if (IS_ERR(ssc)) {
		pr_err("error: cannot aquire scc device\n");
		return PTR_ERR(ssc);
	}
	sc->ssc = ssc;

	/* Current kernels want a clock prepared before it is enabled. */
	ret = clk_prepare_enable(ssc->clk);
	if (ret) {
		pr_err("error: cannot initialize scc device\n");
		ssc_free(ssc);
		return ret;
	}
	ret = request_irq(ssc->irq, ssc_interrupt, 0, PCMLINK_NAME, sc);
	if (ret) {
		clk_disable_unprepare(ssc->clk);
		pr_err("error: request_irq() failed\n");
		pr_err("error: cannot initialize scc device\n");
		ssc_free(ssc);
		return ret;
	}

	for (i = 0; i < 2; i++) {
		sc->rx_buf[i] = alloc_buffer(&sc->rx_dma[i]);
		if (!sc->rx_buf[i]) {
			pr_err("error: rx buffer allocation failed\n");
			goto no_memory;
		}
	}
	for (i = 0; i < 2; i++) {
		sc->tx_buf[i] = alloc_buffer(&sc->tx_dma[i]);
		if (!sc->tx_buf[i]) {
			pr_err("error: tx buffer allocation failed\n");
			goto no_memory;
		}
	}

	ret = __register_chrdev(PCMLINK_MAJOR, 0, PCMLINK_MINORS, PCMLINK_NAME,
				&dev_fops);
	if (ret < 0) {
		pr_err("error: cannot register device");
		shutdown();
		ssc_free(ssc);
		return ret;
	}

	pr_info("at91sam9260 ssc driver initialized\n");
	return 0;

no_memory:
	shutdown();
	pr_err("error: cannot initialize scc device\n");
	ssc_free(ssc);
	return -ENOMEM;
}

void __exit cleanup_module(void)
{
	__unregister_chrdev(PCMLINK_MAJOR, 0, PCMLINK_MINORS, PCMLINK_NAME);
	shutdown();
	ssc_free(sc->ssc);
	pr_info("at91sam9260 ssc driver unloaded\n");
}

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("AT91SAM9260 SSC PCM port");
