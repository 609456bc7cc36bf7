"""The vcrypto module in a real kernel (the VM rig): it loads on the CAAM
stand-in, registers /dev/vcrypto, serves the device test program through
the real ioctl, and unloads, without a kernel fault. On the i.MX6Q the
stand-in is the driver of the device tree's CAAM node, which the module
finds through the kernel's own device-tree lookups."""
import re

import pytest

from zelsupport import vm

pytestmark = pytest.mark.vm


@pytest.fixture(scope="module")
def result(kernel_vm):
    return kernel_vm.suite("vcrypto")


def test_modules_load_and_unload(result):
    assert [(s.args, s.status) for s in result.loads] == [
        ("caam-sim.ko reveal=1", 0), ("vcrypto.ko", 0)], [s.output for s in result.loads]
    assert [(s.args, s.status) for s in result.unloads] == [
        ("vcrypto", 0), ("caam_sim", 0)], [s.output for s in result.unloads]


def test_device_program_passes_every_case(result):
    (run,) = result.runs
    cases = [line for line in run.output.splitlines() if line.startswith(("ok", "not ok"))]
    failed = [line for line in cases if line.startswith("not ok")]
    assert not failed, run.output
    assert len(cases) >= 40, run.output
    assert run.status == 0, run.output


def test_kernel_log_has_the_decoding_messages_and_no_fault(result):
    log = result.kernel_log
    assert not result.faults, log
    for text in ("vyrna_crypto_ioctl, \\d+: no data passed",
                 "vyrna_crypto_ioctl, \\d+: bad cmd",
                 "vyrna_crypto_ioctl, \\d+: bad data length \\(144\\)",
                 "get_black_key, \\d+: black key import failed \\(-5\\)",
                 "cbc_aes, \\d+: failed to import black key"):
        assert re.search(text, log), text + "\n" + log


@pytest.mark.skipif(vm.MACHINE != "imx6q", reason="the device tree is the i.MX6Q machine's")
def test_caam_stand_in_drives_the_device_tree_node(result):
    driver, compatible = result.commands
    assert (driver.status, driver.output.split("/")[-1].strip()) == (0, "caam-sim"), driver
    assert "fsl,sec-v4.0" in compatible.output.split(), compatible
    assert "caam-sim 2100000.crypto: bound to /soc/bus@2100000/crypto@2100000" in \
        result.kernel_log, result.kernel_log
