// SPDX-License-Identifier: GPL-2.0
/*
 * pio_sim: the AT91SAM9260's parallel I/O controllers A, B and C behind
 * "/dev/uio0", for the ARM926 test machine (versatilepb). Test equipment
 * only; never part of a board image.
 *
 * The UIO map is the board's peripheral window, 392544 bytes from
 * 0xfffa0000, with PIOA, PIOB and PIOC at 0x5f400, 0x5f600 and 0x5f800. No
 * memory stands behind the mapping: every load and store of the program
 * faults, and the fault handler performs it on the PIO model and steps over
 * the instruction. So each write to a set or clear register acts once and in
 * order, as on the chip, however close two writes follow each other.
 *
 * The pins' external levels are the parameters input_a, input_b and input_c
 * (a pin reads high unless driven low there: the pull-ups), given when the
 * module is loaded (a button held at boot) and written through
 * /sys/module/pio_sim/parameters/ from outside the program under test. The
 * device's "state" shows each port's registers and the accesses made.
 * Accesses outside the three PIO blocks, or by instructions that are not
 * plain loads and stores, are reported with "pio_sim: fault:" and end the
 * program with SIGBUS.
 */

#define pr_fmt(fmt) "pio_sim: " fmt

#include <linux/mm.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/sched.h>
#include <linux/spinlock.h>
#include <linux/uaccess.h>
#include <linux/uio_driver.h>
#include <asm/ptrace.h>

#include "arm_access.h"

#define WINDOW_PHYS	0xfffa0000
#define WINDOW_SIZE	392544
#define PIO_FIRST	0x5f400
#define PIO_STRIDE	0x200
#define PIO_PORTS	3

/* The registers of one PIO block. */
#define PIO_PER		0x00
#define PIO_PDR		0x04
#define PIO_PSR		0x08
#define PIO_OER		0x10
#define PIO_ODR		0x14
#define PIO_OSR		0x18
#define PIO_IFER	0x20
#define PIO_IFDR	0x24
#define PIO_IFSR	0x28
#define PIO_SODR	0x30
#define PIO_CODR	0x34
#define PIO_ODSR	0x38
#define PIO_PDSR	0x3c
#define PIO_IER		0x40
#define PIO_IDR		0x44
#define PIO_IMR		0x48
#define PIO_ISR		0x4c
#define PIO_MDER	0x50
#define PIO_MDDR	0x54
#define PIO_MDSR	0x58
#define PIO_PUDR	0x60
#define PIO_PUER	0x64
#define PIO_PUSR	0x68
#define PIO_ASR		0x70
#define PIO_BSR		0x74
#define PIO_ABSR	0x78
#define PIO_OWER	0xa0
#define PIO_OWDR	0xa4
#define PIO_OWSR	0xa8

static unsigned int input_a = ~0u, input_b = ~0u, input_c = ~0u;
module_param(input_a, hexint, 0644);
MODULE_PARM_DESC(input_a, "external levels of PA0-PA31 (1 high)");
module_param(input_b, hexint, 0644);
MODULE_PARM_DESC(input_b, "external levels of PB0-PB31 (1 high)");
module_param(input_c, hexint, 0644);
MODULE_PARM_DESC(input_c, "external levels of PC0-PC31 (1 high)");

struct pio_port {
	u32 psr, osr, ifsr, odsr, imr, isr, mdsr, pusr, absr, owsr;
	u32 last_pdsr;		/* for the change status in ISR */
	const unsigned int *input;
};

static struct pio_port ports[PIO_PORTS] = {
	{ .input = &input_a },
	{ .input = &input_b },
	{ .input = &input_c },
};

static DEFINE_SPINLOCK(lock);
static u64 reads, writes;
static unsigned long faults;
static struct platform_device *pdev;

static u32 pdsr(const struct pio_port *p)
{
	u32 out = p->psr & p->osr;

	return (out & p->odsr) | (~out & READ_ONCE(*p->input));
}

/* Inputs change from outside at any time: ISR collects what changed. */
static void sample(struct pio_port *p)
{
	u32 now = pdsr(p);

	p->isr |= now ^ p->last_pdsr;
	p->last_pdsr = now;
}

static bool port_read(struct pio_port *p, unsigned int reg, u32 *v)
{
	sample(p);
	switch (reg) {
	case PIO_PSR:
		*v = p->psr;
		break;
	case PIO_OSR:
		*v = p->osr;
		break;
	case PIO_IFSR:
		*v = p->ifsr;
		break;
	case PIO_ODSR:
		*v = p->odsr;
		break;
	case PIO_PDSR:
		*v = p->last_pdsr;
		break;
	case PIO_IMR:
		*v = p->imr;
		break;
	case PIO_ISR:
		*v = p->isr;
		p->isr = 0;
		break;
	case PIO_MDSR:
		*v = p->mdsr;
		break;
	case PIO_PUSR:
		*v = p->pusr;
		break;
	case PIO_ABSR:
		*v = p->absr;
		break;
	case PIO_OWSR:
		*v = p->owsr;
		break;
	default:
		return false;
	}
	return true;
}

static bool port_write(struct pio_port *p, unsigned int reg, u32 v)
{
	switch (reg) {
	case PIO_PER:
		p->psr |= v;
		break;
	case PIO_PDR:
		p->psr &= ~v;
		break;
	case PIO_OER:
		p->osr |= v;
		break;
	case PIO_ODR:
		p->osr &= ~v;
		break;
	case PIO_IFER:
		p->ifsr |= v;
		break;
	case PIO_IFDR:
		p->ifsr &= ~v;
		break;
	case PIO_SODR:
		p->odsr |= v;
		break;
	case PIO_CODR:
		p->odsr &= ~v;
		break;
	case PIO_ODSR:
		p->odsr = (p->odsr & ~p->owsr) | (v & p->owsr);
		break;
	case PIO_IER:
		p->imr |= v;
		break;
	case PIO_IDR:
		p->imr &= ~v;
		break;
	case PIO_MDER:
		p->mdsr |= v;
		break;
	case PIO_MDDR:
		p->mdsr &= ~v;
		break;
	case PIO_PUDR:
		p->pusr |= v;
		break;
	case PIO_PUER:
		p->pusr &= ~v;
		break;
	case PIO_ASR:
		p->absr &= ~v;
		break;
	case PIO_BSR:
		p->absr |= v;
		break;
	case PIO_OWER:
		p->owsr |= v;
		break;
	case PIO_OWDR:
		p->owsr &= ~v;
		break;
	default:
		return false;
	}
	sample(p);
	return true;
}

/* One access at an offset of the window; false when it is not emulated. */
static bool pio_access(unsigned long offset, const struct arm_access *a, u32 *v)
{
	unsigned long flags;
	unsigned int port, reg;
	bool ok;

	if (offset < PIO_FIRST || offset >= PIO_FIRST + PIO_PORTS * PIO_STRIDE ||
	    a->size != 4 || offset % 4)
		return false;
	port = (offset - PIO_FIRST) / PIO_STRIDE;
	reg = (offset - PIO_FIRST) % PIO_STRIDE;
	spin_lock_irqsave(&lock, flags);
	if (a->load) {
		ok = port_read(&ports[port], reg, v);
		reads++;
	} else {
		ok = port_write(&ports[port], reg, *v);
		writes++;
	}
	spin_unlock_irqrestore(&lock, flags);
	return ok;
}

static vm_fault_t pio_fault(struct vm_fault *vmf)
{
	struct pt_regs *regs = current_pt_regs();
	unsigned long addr = vmf->real_address;	/* or only its page */
	struct arm_access a;
	u32 insn, v = 0;
	int err;

	if (!(vmf->flags & FAULT_FLAG_USER) || thumb_mode(regs)) {
		pr_err("fault: access at 0x%lx not from an ARM instruction of the program\n",
		       addr);
		goto refused;
	}
	pagefault_disable();
	err = __get_user(insn, (u32 __user *)instruction_pointer(regs));
	pagefault_enable();
	/* Some architectures pass only the page of the access: take the
	 * address from the instruction, which must lie in that page.
	 */
	if (err || !arm_access_decode(insn, regs, &a) ||
	    (a.addr & PAGE_MASK) != (addr & PAGE_MASK)) {
		pr_err("fault: instruction 0x%08x at 0x%lx not emulated\n",
		       err ? 0 : insn, instruction_pointer(regs));
		goto refused;
	}
	if (!a.load)
		v = regs->uregs[a.rd];
	if (!pio_access(a.addr - vmf->vma->vm_start, &a, &v)) {
		pr_err("fault: %u-byte %s at offset 0x%lx\n", a.size,
		       a.load ? "read" : "write", a.addr - vmf->vma->vm_start);
		goto refused;
	}
	arm_access_complete(&a, regs, v);
	return VM_FAULT_NOPAGE;

refused:
	faults++;
	return VM_FAULT_SIGBUS;
}

static const struct vm_operations_struct pio_vm_ops = {
	.fault = pio_fault,
};

/* Never backed by pages, so every access comes to pio_fault(). */
static int pio_mmap(struct uio_info *info, struct vm_area_struct *vma)
{
	if (vma->vm_pgoff)
		return -EINVAL;
	vma->vm_flags |= VM_IO | VM_PFNMAP | VM_DONTEXPAND | VM_DONTDUMP;
	vma->vm_ops = &pio_vm_ops;
	return 0;
}

static struct uio_info info = {
	.name = "pio",
	.version = "1",
	.irq = UIO_IRQ_NONE,
	.mmap = pio_mmap,
	.mem[0] = {
		.name = "pio",
		.addr = WINDOW_PHYS,
		.size = WINDOW_SIZE,
		.memtype = UIO_MEM_PHYS,
	},
};

static ssize_t state_show(struct device *dev, struct device_attribute *attr,
			  char *buf)
{
	unsigned long flags;
	ssize_t n = 0;
	int i;

	spin_lock_irqsave(&lock, flags);
	for (i = 0; i < PIO_PORTS; i++) {
		struct pio_port *p = &ports[i];

		n += sysfs_emit_at(buf, n,
				   "%c psr 0x%08x osr 0x%08x odsr 0x%08x pdsr 0x%08x\n",
				   'A' + i, p->psr, p->osr, p->odsr, pdsr(p));
	}
	n += sysfs_emit_at(buf, n, "reads %llu writes %llu faults %lu\n",
			   reads, writes, faults);
	spin_unlock_irqrestore(&lock, flags);
	return n;
}
static DEVICE_ATTR_RO(state);

static struct attribute *pio_attrs[] = {
	&dev_attr_state.attr,
	NULL,
};
ATTRIBUTE_GROUPS(pio);

static int __init pio_sim_init(void)
{
	int i, ret;

	/*
	 * After the boot loader: every line a PIO input, except the status
	 * LED (PB3) and the beeper (PB8), outputs driven low.
	 */
	for (i = 0; i < PIO_PORTS; i++)
		ports[i].psr = ~0u;
	ports[1].osr = BIT(3) | BIT(8);
	for (i = 0; i < PIO_PORTS; i++)
		ports[i].last_pdsr = pdsr(&ports[i]);

	pdev = platform_device_register_full(&(struct platform_device_info){
		.name = "pio_sim",
		.id = PLATFORM_DEVID_NONE,
	});
	if (IS_ERR(pdev))
		return PTR_ERR(pdev);
	ret = device_add_groups(&pdev->dev, pio_groups);
	if (!ret)
		ret = uio_register_device(&pdev->dev, &info);
	if (ret) {
		platform_device_unregister(pdev);
		return ret;
	}
	pr_info("PIOA-C in a %u-byte window for 0x%08x, inputs 0x%08x 0x%08x 0x%08x\n",
		WINDOW_SIZE, WINDOW_PHYS, input_a, input_b, input_c);
	return 0;
}

static void __exit pio_sim_exit(void)
{
	uio_unregister_device(&info);
	platform_device_unregister(pdev);
}

module_init(pio_sim_init);
module_exit(pio_sim_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Simulated AT91SAM9260 PIO controllers behind UIO");
