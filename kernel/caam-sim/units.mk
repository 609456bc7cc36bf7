# The stand-in's core units, listed once for both builds: kbuild (Kbuild,
# which adds the kernel module's own units) and the host library (CMake
# reads this file and adds the host's own unit).
caam-sim-units := caam_sim caam_sim_jr caam_sim_desc caam_sim_sm caam_sim_blob
