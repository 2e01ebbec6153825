#!/usr/bin/env python3
"""A renderer release tree for the road tests and the demo.

    python3 fixturerelease.py BUILD TREE MAJOR.MINOR.BUILD
    python3 fixturerelease.py BUILD TREE installed         the road's 1.0.0 installation
    python3 fixturerelease.py BUILD TREE engine N          adds ENGINE_DATA of version N
"""
import os
import random
import shutil
import sys

ENGINE_DATA = "dll/32/engine.bin"


def engine_data(version):
    """A large file that changes in a few bytes from one version to the next."""
    data = bytearray(random.Random(19).randbytes(256 * 1024))
    data[1000:1004] = bytes([version] * 4)
    return bytes(data)


def write_engine_data(tree, version):
    path = os.path.join(tree, ENGINE_DATA)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as file:
        file.write(engine_data(version))


def make_release_tree(build, path, version):
    """The renderer tree of a release; the fixture 1.0.0 installation holds a subset of it."""
    shutil.rmtree(path, ignore_errors=True)
    fixtures = os.path.join(build, "bin", "fixtures")
    files = {
        "dll/32/PlenaraVersion.txt": "{} {} {}\n".format(*version.split(".")).encode(),
        "max2010 plugin/32/QIMplugin.dlr": f"QIM plug-in {version} for 3ds Max 2010 32 bit\n".encode(),
        "max2010 plugin/64/QIMplugin.dlr": f"QIM plug-in {version} for 3ds Max 2010 64 bit\n".encode(),
        "max2012 plugin/32/QIMplugin.dlr": f"QIM plug-in {version} for 3ds Max 2012 32 bit\n".encode(),
        "max2012 plugin/64/QIMplugin.dlr": f"QIM plug-in {version} for 3ds Max 2012 64 bit\n".encode(),
        "readme.txt": f"QIM renderer {version}\n".encode(),
        "docs/notes/changes.txt": b"nested folders are installed too\n",
    }
    for name, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(path, name)), exist_ok=True)
        with open(os.path.join(path, name), "wb") as file:
            file.write(data)
    os.makedirs(os.path.join(path, "bin/32"))
    shutil.copy(os.path.join(fixtures, "PlenaraDLL32.dll"), os.path.join(path, "dll/32"))
    shutil.copy(os.path.join(fixtures, "7zG.exe"), os.path.join(path, "bin/32"))
    shutil.copy(os.path.join(build, "bin", "QIM_InstallPlugins.exe"), os.path.join(path, "bin/32"))


def make_installed_tree(build, path):
    """The files of the road's 1.0.0 installation (tests/e2e/qimroad.cpp), as a release tree."""
    shutil.rmtree(path, ignore_errors=True)
    fixtures = os.path.join(build, "bin", "fixtures")
    for folder in ("dll/32", "bin/32", "max2010 plugin/32"):
        os.makedirs(os.path.join(path, folder))
    with open(os.path.join(path, "dll/32/PlenaraVersion.txt"), "w") as file:
        file.write("1 0 0\n")
    with open(os.path.join(path, "max2010 plugin/32/QIMplugin.dlr"), "w") as file:
        file.write("QIM plug-in 1.0.0\n")
    shutil.copy(os.path.join(fixtures, "PlenaraDLL32.dll"), os.path.join(path, "dll/32"))
    shutil.copy(os.path.join(fixtures, "7zG.exe"), os.path.join(path, "bin/32"))
    shutil.copy(os.path.join(build, "bin", "QIM_InstallPlugins.exe"), os.path.join(path, "bin/32"))


if __name__ == "__main__":
    if sys.argv[3] == "installed":
        make_installed_tree(sys.argv[1], sys.argv[2])
    elif sys.argv[3] == "engine":
        write_engine_data(sys.argv[2], int(sys.argv[4]))
    else:
        make_release_tree(sys.argv[1], sys.argv[2], sys.argv[3])
