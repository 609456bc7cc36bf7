"""What the one VM boot of a test session runs: one suite per kernel module
family (see zelsupport.vm). Add a suite here to have its modules loaded and
its static programs run in the same boot."""
from zelsupport.vm import Suite

SUITES = [
    Suite("vcrypto",
          sources=["kernel/caam-sim", "kernel/vcrypto"],
          modules=[("caam-sim.ko", "reveal=1"), ("vcrypto.ko", "")],
          programs=[("tests/kernel/programs/vcrypto_device_test", "")]),
    # The stand-in's job cases, run by a module as it loads.
    Suite("caam-sim",
          sources=["kernel/caam-sim", "kernel/caam-sim/tests/jobcheck"],
          modules=[("caam-sim.ko", ""), ("caam-sim-jobcheck.ko", "")],
          programs=[]),
    # Both disciplines on ptys; the stress runs as its own step (each step
    # has 60 s).
    Suite("tarn",
          sources=["kernel/tarn"],
          modules=[("tarn.ko", "")],
          programs=[("tests/kernel/programs/tarn_vmtest",
                     "module generic_examples moc_examples long_message ioctls blocking "
                     "hangup ldisc_change debug pool"),
                    ("tests/kernel/programs/tarn_vmtest", "stress")]),
    # Last: the rig's own check that slab corruption is caught and reported.
    Suite("slab_fault",
          sources=["tests/kernel/modules/slab_fault"],
          modules=[("slab_fault.ko", "")],
          programs=[]),
]
