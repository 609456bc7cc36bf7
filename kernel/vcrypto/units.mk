# The module's source units, listed once for both builds: kbuild (Kbuild)
# and the host build of the tests, the fuzz target and the device bridge
# (CMake reads this file).
vcrypto-units := vcrypto
