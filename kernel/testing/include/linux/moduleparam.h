#ifndef KTEST_LINUX_MODULEPARAM_H
#define KTEST_LINUX_MODULEPARAM_H
#include <stddef.h>
#ifdef __cplusplus
extern "C" {
#endif
void ktest_register_param(const char *name, void *value, size_t size);
#ifdef __cplusplus
}
#endif
#define module_param(name, type, perm)                                              \
	static void __attribute__((constructor)) ktest_param_##name(void)           \
	{                                                                            \
		ktest_register_param(#name, &(name), sizeof(name));                  \
	}
/* The parameter is known by `name`, the variable is `value`. */
#define module_param_named(name, value, type, perm)                                 \
	static void __attribute__((constructor)) ktest_param_##name(void)           \
	{                                                                            \
		ktest_register_param(#name, &(value), sizeof(value));                \
	}
#define MODULE_PARM_DESC(name, text)
#endif
