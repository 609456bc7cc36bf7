/* Module declarations. module_init and module_exit give the test the entry
 * points as ktest_module_init and ktest_module_exit (one module per test
 * binary); module_param makes an integer parameter settable by name. */
#ifndef KTEST_LINUX_MODULE_H
#define KTEST_LINUX_MODULE_H
#include <linux/types.h>
#include <linux/moduleparam.h>
#include <linux/init.h>
struct module;
#define THIS_MODULE ((struct module *)0)
#define MODULE_LICENSE(x)
#define MODULE_AUTHOR(x)
#define MODULE_DESCRIPTION(x)
#define MODULE_VERSION(x)
#define MODULE_ALIAS(x)
#define MODULE_DEVICE_TABLE(type, name)
#define EXPORT_SYMBOL(x)
#define EXPORT_SYMBOL_GPL(x)
#define module_init(fn) int ktest_module_init(void) { return fn(); }
#define module_exit(fn) void ktest_module_exit(void) { fn(); }
#endif
