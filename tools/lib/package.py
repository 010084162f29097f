"""Packs built programs into a release: a zip per target holding selnary.exe,
selnary-compressors.exe, README.md and LICENSE, and SHA256SUMS over the zips. The same commit gives
the same bytes: entry times come from the commit, in a fixed order, with
fixed permissions.

    package.py OUT_DIR VERSION EPOCH SOURCE_DIR TARGET=BUILD_DIR [TARGET=BUILD_DIR ...]
    package.py --check-signing

OUT_DIR is replaced whole at the end, or left as it was when anything fails.

With SELNARY_SIGN_PKCS12 naming a PKCS#12 file and SELNARY_SIGN_PASSWORD_FILE
a file holding its password, each program is signed with Authenticode
(SHA-256, osslsigncode) before it is zipped; SELNARY_SIGN_TIMESTAMP_URL adds
an RFC 3161 time stamp. The password is only ever read from its file, by the
tools themselves. --check-signing checks that input and nothing else.
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

from winesession import wine

# The programs in the zip, by their names in a build's tools file, then the
# texts from the source.
PROGRAMS = {"selnary.exe": "SELNARY", "selnary-compressors.exe": "SELNARY_COMPRESSORS"}
TEXTS = ("README.md", "LICENSE")


class Refusal(Exception):
    """A reason not to release, said plainly."""


def signing_input():
    """Returns (pkcs12, password_file, timestamp_url), or None when not signing."""
    pkcs12 = os.environ.get("SELNARY_SIGN_PKCS12", "")
    password_file = os.environ.get("SELNARY_SIGN_PASSWORD_FILE", "")
    if not pkcs12 and not password_file:
        return None
    if not pkcs12 or not password_file:
        raise Refusal("signing needs both SELNARY_SIGN_PKCS12 and SELNARY_SIGN_PASSWORD_FILE")
    for name, path in (("SELNARY_SIGN_PKCS12", pkcs12), ("SELNARY_SIGN_PASSWORD_FILE", password_file)):
        if not os.path.isfile(path) or not os.access(path, os.R_OK):
            raise Refusal(f"{name}={path} is not a readable file")
    return pkcs12, password_file, os.environ.get("SELNARY_SIGN_TIMESTAMP_URL", "")


def run(command, what):
    """Runs a tool whose output never holds the password: it reads it from its file."""
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        said = (result.stderr or result.stdout).strip().splitlines()
        raise Refusal(f"{what}: {said[0] if said else 'failed'}")
    return result.stdout


def check_signing(work):
    """Refuses unusable signing input before anything is built or written."""
    signing = signing_input()
    if signing is None:
        return None
    pkcs12, password_file, _ = signing
    certificate = os.path.join(work, "certificate.pem")
    read = ["openssl", "pkcs12", "-in", pkcs12, "-passin", f"file:{password_file}",
            "-nokeys", "-clcerts", "-out", certificate]
    try:
        run(read, "probe")
    except Refusal:
        # Files made by older tools use ciphers OpenSSL 3 keeps in its legacy provider.
        try:
            run(read + ["-legacy"], "probe")
        except Refusal:
            raise Refusal(f"cannot open {pkcs12} with the password in {password_file}: "
                          "wrong password, or not a PKCS#12 file") from None
    subject = run(["openssl", "x509", "-in", certificate, "-noout", "-subject", "-enddate"],
                  "reading the certificate").strip().replace("\n", ", ")
    if subprocess.run(["openssl", "x509", "-in", certificate, "-noout", "-checkend", "0"],
                      capture_output=True).returncode != 0:
        raise Refusal(f"the certificate has expired ({subject})")
    usage = subprocess.run(["openssl", "x509", "-in", certificate, "-noout", "-ext", "extendedKeyUsage"],
                           capture_output=True, text=True).stdout
    if "Code Signing" not in usage:
        raise Refusal(f"the certificate is not for code signing ({subject}; "
                      f"extended key usage: {usage.split(chr(10), 1)[-1].strip() or 'none'})")
    return signing, subject


def sign(signing, version, unsigned, signed):
    pkcs12, password_file, timestamp_url = signing
    command = ["osslsigncode", "sign", "-pkcs12", pkcs12, "-readpass", password_file,
               "-h", "sha256", "-n", f"selnary {version}", "-in", unsigned, "-out", signed]
    if timestamp_url:
        command += ["-ts", timestamp_url]
    run(command, f"signing {unsigned}")


def sha256_of(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def zip_entry(archive, name, data, date_time):
    info = zipfile.ZipInfo(name, date_time=date_time)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 3  # Unix, so the fixed permissions below are what they say
    info.external_attr = 0o100644 << 16
    archive.writestr(info, data, compresslevel=9)


def package(out_dir, version, epoch, source_dir, targets, signing, work):
    # Zip times cannot go before 1980; they are UTC, whatever the time zone.
    date_time = time.gmtime(max(epoch, 315532800))[:6]
    texts = {}
    for name in TEXTS:
        with open(os.path.join(source_dir, name), "rb") as file:
            texts[name] = file.read()

    staging = tempfile.mkdtemp(prefix=".release-", dir=os.path.dirname(os.path.abspath(out_dir)))
    try:
        for target, build_dir in targets:
            zip_name = f"selnary-{version}-{target}.zip"
            values = wine.read(os.path.join(build_dir, "wine-tools.sh"))
            with zipfile.ZipFile(os.path.join(staging, zip_name), "w") as archive:
                for name, built in PROGRAMS.items():
                    exe = wine.built(values, built)
                    if signing:
                        signed = os.path.join(work, f"{target}-{name}")
                        sign(signing, version, exe, signed)
                        exe = signed
                    with open(exe, "rb") as file:
                        zip_entry(archive, name, file.read(), date_time)
                for name in TEXTS:
                    zip_entry(archive, name, texts[name], date_time)

        zips = sorted(os.listdir(staging))
        sums = {name: sha256_of(os.path.join(staging, name)) for name in zips}
        with open(os.path.join(staging, "SHA256SUMS"), "w", newline="\n") as file:
            file.writelines(f"{sums[name]}  {name}\n" for name in zips)
        for name in os.listdir(staging):
            os.chmod(os.path.join(staging, name), 0o644)
        os.chmod(staging, 0o755)

        # Into place whole: the old folder goes only once the new one is complete.
        old = None
        if os.path.exists(out_dir):
            old = staging + ".old"
            os.rename(out_dir, old)
        os.rename(staging, out_dir)
        if old:
            shutil.rmtree(old)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise

    sums["SHA256SUMS"] = sha256_of(os.path.join(out_dir, "SHA256SUMS"))
    print(f"Wrote {out_dir}:")
    for name in sorted(sums):
        print(f"  {name}  {os.path.getsize(os.path.join(out_dir, name))} bytes  sha256 {sums[name]}")


def main(argv):
    with tempfile.TemporaryDirectory() as work:
        try:
            checked = check_signing(work)
            if argv[1:] == ["--check-signing"]:
                print(f"signing with {checked[1]}" if checked else "not signing")
                return 0
            if len(argv) < 6:
                print(__doc__, file=sys.stderr)
                return 2
            out_dir, version, epoch, source_dir = argv[1], argv[2], int(argv[3]), argv[4]
            targets = [tuple(arg.split("=", 1)) for arg in argv[5:]]
            if checked:
                print(f"Signing with {checked[1]}")
            package(out_dir, version, epoch, source_dir, targets, checked and checked[0], work)
        except (Refusal, wine.Error) as refusal:
            print(f"error: {refusal}; nothing was released", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
