# The module's source units, listed once for both builds: kbuild (Kbuild)
# and the host build of the tests and benchmarks (CMake reads this file).
tarn-units := tarn tarn_core tarn_read tarn_ioctl tarn_rx tarn_tx tarn_buf \
	tarn_generic tarn_moc
