/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Decoding of the ARM loads and stores that reach a simulated register
 * window: the simulated devices of the versatile test kernel have no
 * mapping behind their registers, take the fault of each access, perform it
 * on their model and step over the instruction. readl()/writel() and
 * volatile accesses compile to the single data transfers decoded here
 * (LDR/STR, LDRB/STRB with an immediate or shifted register offset, and
 * LDRH/STRH); anything else is left to the caller to report.
 */
#ifndef BOARD_SIM_ARM_ACCESS_H
#define BOARD_SIM_ARM_ACCESS_H

#include <linux/types.h>
#include <asm/ptrace.h>

struct arm_access {
	bool load;
	unsigned int size;	/* bytes: 1, 2 or 4 */
	unsigned int rd;
	unsigned int rn;
	bool writeback;
	unsigned long addr;	/* the address accessed */
	unsigned long base;	/* the base register after the access */
};

static inline u32 arm_access_shifted(u32 insn, const struct pt_regs *regs,
				     bool *ok)
{
	u32 rm = regs->uregs[insn & 0xf];
	unsigned int amount = (insn >> 7) & 0x1f;

	*ok = (insn & 0xf) != 15;
	switch ((insn >> 5) & 3) {
	case 0:
		return rm << amount;
	case 1:
		return amount ? rm >> amount : 0;
	case 2:
		return amount ? (u32)((s32)rm >> amount) : (u32)((s32)rm >> 31);
	default:
		/* ROR and RRX never address registers. */
		*ok = false;
		return 0;
	}
}

/* Fills *a from an ARM (not Thumb) instruction; false if not decoded. */
static inline bool arm_access_decode(u32 insn, const struct pt_regs *regs,
				     struct arm_access *a)
{
	bool pre = insn & BIT(24);
	bool up = insn & BIT(23);
	bool ok = true;
	u32 offset;

	if ((insn >> 28) == 0xf)
		return false;
	a->load = insn & BIT(20);
	a->rn = (insn >> 16) & 0xf;
	a->rd = (insn >> 12) & 0xf;
	if ((insn & 0x0c000000) == 0x04000000) {
		/* LDR, STR, LDRB, STRB */
		if (insn & BIT(25)) {
			if (insn & BIT(4))
				return false;
			offset = arm_access_shifted(insn, regs, &ok);
		} else {
			offset = insn & 0xfff;
		}
		a->size = (insn & BIT(22)) ? 1 : 4;
		/* Post-indexed with W set is the user-mode form: the same here. */
		a->writeback = !pre || (insn & BIT(21));
	} else if ((insn & 0x0e0000f0) == 0x000000b0) {
		/* LDRH, STRH */
		if (!(insn & BIT(22)) && ((insn & 0xf00) || (insn & 0xf) == 15))
			return false;
		if (insn & BIT(22))
			offset = ((insn >> 4) & 0xf0) | (insn & 0xf);
		else
			offset = regs->uregs[insn & 0xf];
		a->size = 2;
		a->writeback = !pre || (insn & BIT(21));
		if (!pre && (insn & BIT(21)))
			return false;
	} else {
		return false;
	}
	if (!ok || a->rn == 15 || a->rd == 15)
		return false;
	a->base = regs->uregs[a->rn] + (up ? offset : -offset);
	a->addr = pre ? a->base : regs->uregs[a->rn];
	if (!a->writeback)
		a->base = regs->uregs[a->rn];
	return true;
}

/*
 * Completes an emulated access: the loaded value into Rd, the written-back
 * base into Rn (the ARM926 restores the base on an abort), and the program
 * counter past the instruction.
 */
static inline void arm_access_complete(const struct arm_access *a,
				       struct pt_regs *regs, u32 loaded)
{
	if (a->writeback)
		regs->uregs[a->rn] = a->base;
	if (a->load)
		regs->uregs[a->rd] = loaded;
	regs->ARM_pc += 4;
}

#endif
