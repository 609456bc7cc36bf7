#include <linux/of_platform.h>
