/* SPDX-License-Identifier: GPL-2.0 WITH Linux-syscall-note */
/*
 * pcmlink: the interface between the SSC PCM driver and its user programs.
 *
 * The device (character major 131) moves blocks of 32-bit sample words: a
 * read returns one received block, a write supplies one block to transmit.
 * PCMLINK_IOCTL_CFG sets the SSC framing and the block size and restarts both
 * directions. The record is passed by pointer in the host's byte order.
 */
#ifndef PCMLINK_H
#define PCMLINK_H

#include <linux/types.h>

#define PCMLINK_MAJOR		131

/* Plain request number, not an _IOW() code: the deployed programs use 1. */
#define PCMLINK_IOCTL_CFG	1

struct pcmlink_cfg {
	__u32 clkdiv;		/* SSC_CMR: bit clock = MCK / (2 * clkdiv) */
	__u32 tcmr;		/* SSC_TCMR */
	__u32 tfmr;		/* SSC_TFMR */
	__u32 rcmr;		/* SSC_RCMR */
	__u32 rfmr;		/* SSC_RFMR */
	__u32 rxfer_count;	/* block size in words, both directions */
};

/* A block is rxfer_count words; each DMA buffer holds this many words. */
#define PCMLINK_WORD_BYTES	4
#define PCMLINK_MAX_WORDS	16384

/*
 * One word per sample; only the low 20 bits travel. Words towards the codec
 * carry two A-law codes: the first (the loudspeaker) in bits 12-19, the
 * second in bits 2-9.
 */
#define PCMLINK_TX_WORD(code1, code2) \
	((((__u32)(code1) << 10) | (__u32)(code2)) << 2)
#define PCMLINK_TX_CODE1(word)	(((__u32)(word) >> 12) & 0xff)
#define PCMLINK_TX_CODE2(word)	(((__u32)(word) >> 2) & 0xff)

/* Words from the codec carry the captured A-law code in bits 11-18. */
#define PCMLINK_RX_WORD(code)	(((__u32)(code) & 0xff) << 11)
#define PCMLINK_RX_CODE(word)	(((__u32)(word) >> 11) & 0xff)

#endif /* PCMLINK_H */
