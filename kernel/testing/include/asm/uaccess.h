#include <linux/uaccess.h>
#include <asm/segment.h>
