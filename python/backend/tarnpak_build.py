"""The build backend of pyproject.toml: configures the project's CMake tree for the Python that
runs it, builds the module, and writes the wheel (or the source archive) itself, so that
`pip install --no-build-isolation .` needs no package from an index."""

import base64
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
NAME = "tarnpak"
SUMMARY = "Group files (.grp) and the Tarnpak engine's file manager, for pipeline scripts"
# What a source archive leaves out: build trees and the repository's own files.
SKIPPED = re.compile(r"^(build[^/]*|\.git|\.ci|dist)(/|$)|/__pycache__(/|$)")


def _version() -> str:
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(Tarnpak VERSION ([0-9.]+)", f.read()).group(1)


def _tag() -> str:
    python = "cp%d%d" % sys.version_info[:2]
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return "%s-%s%s-%s" % (python, python, sys.abiflags, platform)


def _metadata() -> str:
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\nRequires-Python: >=3.8\n"
            % (NAME, _version(), SUMMARY))


def _build_package(work: str) -> str:
    """Builds the module in work; the directory holding the finished package."""
    tree = os.path.join(work, "cmake")
    configure = ["cmake", "-S", ROOT, "-B", tree, "-DCMAKE_BUILD_TYPE=Release",
                 "-DTARNPAK_PYTHON=ON", "-DTARNPAK_TESTS=OFF",
                 "-DPython3_EXECUTABLE=" + sys.executable]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, stdout=sys.stderr)
    subprocess.run(["cmake", "--build", tree, "--target", "_tarnpak"], check=True,
                   stdout=sys.stderr)
    return os.path.join(tree, "python", NAME)


def _record_line(arcname: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (arcname, digest, len(data))


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    version, tag = _version(), _tag()
    wheel_name = "%s-%s-%s.whl" % (NAME, version, tag)
    info = "%s-%s.dist-info" % (NAME, version)
    with tempfile.TemporaryDirectory(prefix="tarnpak-wheel-") as work:
        package = _build_package(work)
        files = []
        for leaf in sorted(os.listdir(package)):
            path = os.path.join(package, leaf)
            if os.path.isfile(path) and (leaf.endswith((".py", ".pyi", ".so")) or leaf == "py.typed"):
                with open(path, "rb") as f:
                    files.append(("%s/%s" % (NAME, leaf), f.read()))
        files.append((info + "/METADATA", _metadata().encode()))
        wheel = "Wheel-Version: 1.0\nGenerator: tarnpak_build\nRoot-Is-Purelib: false\nTag: %s\n"
        files.append((info + "/WHEEL", (wheel % tag).encode()))
        record = [_record_line(name, data) for name, data in files] + [info + "/RECORD,,"]
        files.append((info + "/RECORD", ("\n".join(record) + "\n").encode()))
        target = os.path.join(wheel_directory, wheel_name)
        with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as z:
            for name, data in files:
                z.writestr(name, data)
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, _version())
    target = os.path.join(sdist_directory, base + ".tar.gz")
    with tarfile.open(target, "w:gz") as tar:
        for top, dirs, leaves in os.walk(ROOT):
            rel_top = os.path.relpath(top, ROOT)
            dirs[:] = sorted(d for d in dirs
                             if not SKIPPED.search(os.path.normpath(os.path.join(rel_top, d))))
            for leaf in sorted(leaves):
                rel = os.path.normpath(os.path.join(rel_top, leaf))
                tar.add(os.path.join(ROOT, rel), arcname="%s/%s" % (base, rel), recursive=False)
        info = tarfile.TarInfo("%s/PKG-INFO" % base)
        data = _metadata().encode()
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
    return base + ".tar.gz"


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []
