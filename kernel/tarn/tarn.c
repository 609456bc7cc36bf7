// SPDX-License-Identifier: GPL-2.0
/*
 * Module load and unload: registers the "generic" (2) and "moc" (8) line
 * disciplines and fills the buffer pool; the "debug" parameter switches the
 * traces at run time.
 */
#include <linux/init.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/tty.h>
#include <linux/tty_ldisc.h>

#include "tarn.h"

int pos_debug;
module_param_named(debug, pos_debug, int, 0644);
MODULE_PARM_DESC(debug, "non-zero traces every discipline operation");

#if TARN_LDISC_61
#define TARN_OPS_SHAPE					\
	.read = tarn_read_cookie,			\
	.ioctl = tarn_ioctl_61,				\
	.poll = tarn_poll_61,				\
	.hangup = tarn_hangup_61
#else
#define TARN_OPS_SHAPE					\
	.magic = TTY_LDISC_MAGIC,			\
	.read = tarn_read,				\
	.ioctl = tarn_ioctl,				\
	.poll = tarn_poll,				\
	.hangup = tarn_hangup
#endif

/* The two tables differ only in the discipline's write and receive_buf. */
#define TARN_LDISC_OPS(disc_name, pfx) {		\
	TARN_OPS_SHAPE,					\
	.owner = THIS_MODULE,				\
	.name = disc_name,				\
	.open = tarn_open,				\
	.close = tarn_close,				\
	.write = pfx##_write,				\
	.receive_buf = pfx##_receive_buf,		\
	.write_wakeup = tarn_write_wakeup,		\
}

static struct tty_ldisc_ops tarn_generic_ldisc = TARN_LDISC_OPS("generic", generic);
static struct tty_ldisc_ops tarn_moc_ldisc = TARN_LDISC_OPS("moc", moc);

static int __init tarn_init(void)
{
	int err;

	pr_err("Quenmar TARN Driver, Version 01.2.01\n");
	tarn_dbg("tarn_init() debug=%d", pos_debug);

	/* The pool is ready before a tty can switch to either discipline. */
	n_tarn_buf_pool_init();

	err = tarn_register_ldisc(TARN_LDISC_GENERIC, &tarn_generic_ldisc);
	if (err) {
		pr_err("TARN: error %d registering Generic line discipline.\n", err);
		goto err_pool;
	}
	err = tarn_register_ldisc(TARN_LDISC_MOC, &tarn_moc_ldisc);
	if (err) {
		pr_err("TARN: error %d registering MOC line discipline.\n", err);
		goto err_generic;
	}
	return 0;

err_generic:
	tarn_unregister_ldisc(TARN_LDISC_GENERIC, &tarn_generic_ldisc);
err_pool:
	n_tarn_buf_pool_free();
	return err;
}

static void __exit tarn_cleanup(void)
{
	tarn_dbg("tarn_cleanup()");
	if (tarn_unregister_ldisc(TARN_LDISC_GENERIC, &tarn_generic_ldisc))
		pr_err("failed to unregister Generic line discipline.\n");
	if (tarn_unregister_ldisc(TARN_LDISC_MOC, &tarn_moc_ldisc))
		pr_err("failed to unregister MOC line discipline.\n");
	n_tarn_buf_pool_free();
}

module_init(tarn_init);
module_exit(tarn_cleanup);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Quenmar TARN Driver");
