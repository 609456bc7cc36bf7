#include <linux/uaccess.h>
