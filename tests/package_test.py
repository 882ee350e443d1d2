#!/usr/bin/env python3
"""The package on the host, without Wine.

  package_test.py sign SOURCE_DIR BUILD_DIR THIRD_PARTY_DIR
      scripts/package.sh --sign with a throwaway certificate made here: the
      package and both executables inside it verify against that
      certificate; a changed byte in any of them fails verification, and
      the files of others are left unsigned.
  package_test.py check SOURCE_DIR BUILD_DIR PACKAGE
      the build's check of the built tables passes on PACKAGE and refuses
      each fault wixl is known to make, put into a copy of it.

Prints what failed and exits 1; exits 0 when everything held.
"""
import os
import shutil
import subprocess
import sys
import tempfile

failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message)


def run(command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          **kwargs)


def verifies(path, certificate):
    return run(["osslsigncode", "verify", "-CAfile", certificate, "-in", path]).returncode == 0


def changed_copy(path, work, offset_of):
    """A copy of `path` with one byte flipped at offset_of(bytes)."""
    data = bytearray(open(path, "rb").read())
    offset = offset_of(data)
    data[offset] ^= 0x01
    copy = os.path.join(work, "changed-" + os.path.basename(path))
    open(copy, "wb").write(data)
    return copy


def sign(source, build, third_party):
    with tempfile.TemporaryDirectory(prefix="quorvel-sign-") as work:
        password = os.path.join(work, "password")
        open(password, "w").write("throwaway-%d\n" % os.getpid())
        key, certificate, pfx = (os.path.join(work, name) for name in
                                 ("key.pem", "certificate.pem", "signing.pfx"))
        made = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", certificate, "-days", "2", "-subj", "/CN=Quorvel throwaway signer",
                    "-addext", "extendedKeyUsage=codeSigning",
                    "-addext", "keyUsage=digitalSignature"])
        made = made.returncode == 0 and run(
            ["openssl", "pkcs12", "-export", "-inkey", key, "-in", certificate, "-out", pfx,
             "-passout", "file:" + password]).returncode == 0
        if not made:
            expect(False, "the throwaway certificate could not be made")
            return
        out = os.path.join(work, "out")
        packaged = run([os.path.join(source, "scripts", "package.sh"), "--third-party",
                        third_party, "--sign", pfx, "--password-file", password, "--out", out],
                       env=dict(os.environ, BUILD_DIR=build))
        expect(packaged.returncode == 0, "package.sh --sign failed:\n" + packaged.stdout)
        msis = [name for name in os.listdir(out) if name.endswith(".msi")] if \
            os.path.isdir(out) else []
        if len(msis) != 1:
            expect(False, "package.sh left %s, not one package" % msis)
            return
        msi = os.path.join(out, msis[0])
        expect(verifies(msi, certificate), "the package's signature does not verify")
        # The executables as the package carries them, not as staged.
        extracted = os.path.join(work, "extracted")
        os.makedirs(extracted)
        expect(run(["msiextract", "-C", extracted, msi]).returncode == 0, "msiextract failed")
        found = {}
        for folder, _, names in os.walk(extracted):
            for name in names:
                found[name] = os.path.join(folder, name)
        for name in ("QuorvelHelper.exe", "quorvelctl.exe"):
            expect(name in found and verifies(found[name], certificate),
                   "%s in the package is not signed by the certificate" % name)
        for name in ("amneziawg.exe", "WinDivert.dll"):
            expect(name in found and not verifies(found[name], certificate),
                   "%s, not ours, was signed" % name)
        if failures:
            return
        # One byte changed: in the middle of an executable (code or data,
        # never the signature at its end); in the package, inside the
        # embedded cabinet (a byte in a free sector would change nothing
        # the signature covers).
        for name in ("QuorvelHelper.exe", "quorvelctl.exe"):
            changed = changed_copy(found[name], work, lambda data: len(data) // 2)
            expect(not verifies(changed, certificate), "a changed byte in %s verifies" % name)
        changed = changed_copy(msi, work, lambda data: data.index(b"MSCF") + 200)
        expect(not verifies(changed, certificate), "a changed byte in the package verifies")


# A fault each, as wixl makes them without a word, and what the check says.
FAULTS = [
    ("a custom action after InstallFinalize",
     "UPDATE `InstallExecuteSequence` SET `Sequence` = 6700 "
     "WHERE `Action` = 'QuorvelRegisterHelper'", "after InstallFinalize"),
    ("the registration before InstallServices",
     "UPDATE `InstallExecuteSequence` SET `Sequence` = 5700 "
     "WHERE `Action` = 'QuorvelRegisterHelper'", "must come after InstallServices"),
    ("the old version removed outside the new one's transaction",
     "UPDATE `InstallExecuteSequence` SET `Sequence` = 1401 "
     "WHERE `Action` = 'RemoveExistingProducts'", "must directly follow InstallInitialize"),
    ("a lone $ dropped from a service name",
     "UPDATE `ServiceControl` SET `Name` = 'AmneziaWGTunnelQuorvel' "
     "WHERE `ServiceControl` = 'QuorvelTunnelControl'", "QuorvelTunnelControl Name"),
    ("Execute=\"rollback\" dropped",
     "UPDATE `CustomAction` SET `Type` = 2130 WHERE `Action` = 'QuorvelUnregisterOnRollback'",
     "CustomAction QuorvelUnregisterOnRollback has type 2130"),
    ("a secret's RemoveFile row missing",
     "DELETE FROM `RemoveFile` WHERE `FileKey` = 'QuorvelConfiguration'",
     "RemoveFile row QuorvelConfiguration"),
]


def check(source, package):
    checker = [sys.executable, os.path.join(source, "scripts", "make_msi.py"), "check"]
    passed = run(checker + [package])
    expect(passed.returncode == 0, "the built package fails its check:\n" + passed.stdout)
    with tempfile.TemporaryDirectory(prefix="quorvel-check-") as work:
        for what, query, said in FAULTS:
            copy = os.path.join(work, "faulty.msi")
            shutil.copyfile(package, copy)
            changed = run(["msibuild", copy, "-q", query])
            if changed.returncode != 0:
                expect(False, "%s: msibuild failed:\n%s" % (what, changed.stdout))
                continue
            refused = run(checker + [copy])
            expect(refused.returncode == 1 and said in refused.stdout,
                   "%s: not refused with %r (exit %d):\n%s" %
                   (what, said, refused.returncode, refused.stdout))


def main():
    if len(sys.argv) != 5 or sys.argv[1] not in ("sign", "check"):
        print(__doc__, file=sys.stderr)
        return 2
    if sys.argv[1] == "sign":
        sign(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        check(sys.argv[2], sys.argv[4])
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
