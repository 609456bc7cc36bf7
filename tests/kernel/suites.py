"""What the one VM boot of a test session runs: one suite per kernel module
family (see zelsupport.vm), and on the i.MX6Q machine the tarn stations on
a UART. Add a suite here to have its modules loaded and its static programs
run in the same boot."""
from zelsupport.vm import Suite

# The CAAM node of the i.MX6Q's device tree, which the stand-in binds.
CAAM_DEVICE = "/sys/bus/platform/devices/2100000.crypto"

# The cases that take a line; over the UART they run with the line master on
# the host.
UART_CASES = ["module", "generic_examples", "moc_examples", "long_message", "ioctls", "hangup",
              "ldisc_change", "pool"]


def suites(machine):
    vcrypto = Suite("vcrypto",
                    sources=["kernel/caam-sim", "kernel/vcrypto"],
                    modules=[("caam-sim.ko", "reveal=1"), ("vcrypto.ko", "")],
                    programs=[("tests/kernel/programs/vcrypto_device_test", "")])
    # The stand-in's job cases, run by a module as it loads.
    caam_sim = Suite("caam-sim",
                     sources=["kernel/caam-sim", "kernel/caam-sim/tests/jobcheck"],
                     modules=[("caam-sim.ko", ""), ("caam-sim-jobcheck.ko", "")],
                     programs=[])
    # Both disciplines on ptys; the stress runs as its own step (each step
    # has 60 s).
    tarn = Suite("tarn",
                 sources=["kernel/tarn"],
                 modules=[("tarn.ko", "")],
                 programs=[("tests/kernel/programs/tarn_vmtest",
                            "module generic_examples moc_examples long_message ioctls blocking "
                            "hangup ldisc_change debug pool"),
                           ("tests/kernel/programs/tarn_vmtest", "stress")])
    # Last: the rig's own check that slab corruption is caught and reported.
    slab_fault = Suite("slab_fault",
                       sources=["tests/kernel/modules/slab_fault"],
                       modules=[("slab_fault.ko", "")],
                       programs=[])
    if machine != "imx6q":
        return [vcrypto, caam_sim, tarn, slab_fault]
    vcrypto.commands = [f"readlink {CAAM_DEVICE}/driver",
                        f"tr '\\0' '\\n' < {CAAM_DEVICE}/of_node/compatible"]
    tarn_uart = Suite("tarn-uart",
                      sources=["kernel/tarn"],
                      modules=[("tarn.ko", "")],
                      programs=[("tests/kernel/programs/tarn_vmtest",
                                 "--uart /dev/ttymxc0 /dev/ttymxc2 " + " ".join(UART_CASES))],
                      line_master=True)
    return [vcrypto, caam_sim, tarn, tarn_uart, slab_fault]
