#!/usr/bin/env python3
"""The road of one update, end to end, against a real web server.

A release 1.1.0 is published and signed with tools/publish-release (the test key under .cache/)
into a web root that nginx (started here on a loopback port with a generated configuration) serves; the driver qimroad.exe then
works QIMUpdate.exe and QIM_InstallPlugins.exe through their windows under Wine. Afterwards the
installation must hold exactly the new tree, the registry must name it, the plug-in must be in
3ds Max's plug-in folder and the temporary folder must hold nothing of the update.
Run by ctest inside tests/run.sh's environment (WINEPREFIX, DISPLAY).
"""
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import unittest
import zipfile

import nginxserver
from fixturerelease import ENGINE_DATA as ENGINE, engine_data as engine
from fixturerelease import make_installed_tree, make_release_tree, write_engine_data

BUILD = os.environ.get("QIM_BUILD", "")
SOURCE = os.environ.get("QIM_SOURCE", "")
PORT = int(os.environ.get("QIM_E2E_PORT", "0"))
PREFIX = os.environ.get("WINEPREFIX", "")
PUBLISH = os.path.join(SOURCE, "tools", "publish-release")
KEY = os.environ.get("QIM_RELEASE_KEY", "")
WORK = os.path.join(os.path.dirname(PREFIX), "road")
WEBROOT = os.path.join(WORK, "www")



def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def unix_path(path):
    """C:\\x\\y in the Wine prefix as a Linux path."""
    drive, rest = path[0].lower(), path[2:].replace("\\", "/")
    return os.path.join(PREFIX, f"drive_{drive}") + rest


def tree_files(root):
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as file:
                files[os.path.relpath(path, root).lower()] = file.read()
    return files


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as file:
        file.write(data)


def publish(tree, version, *extra, key=KEY):
    """Runs the tool by its own interpreter line: Debian's Python, which has python3-nacl."""
    signing = ["--key", key] if key else []
    return subprocess.run([PUBLISH, tree, version, WEBROOT, *signing, *extra],
                          capture_output=True, text=True)


def flip_middle_byte(path):
    """Tampers with a published file: one byte changed, the size kept."""
    with open(path, "r+b") as file:
        file.seek(os.path.getsize(path) // 2)
        byte = file.read(1)
        file.seek(-1, os.SEEK_CUR)
        file.write(bytes([byte[0] ^ 0x01]))


class RoadTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        os.makedirs(WEBROOT)
        cls.nginx = nginxserver.start(WORK, PORT, WEBROOT)

    @classmethod
    def tearDownClass(cls):
        nginxserver.stop(cls.nginx)

    def setUp(self):
        shutil.rmtree(WEBROOT, ignore_errors=True)
        os.makedirs(WEBROOT)
        self.release = os.path.join(WORK, "release")

    def drive(self, scenario, seed=None):
        """seed: a folder whose files are put into the 1.0.0 installation before the update."""
        self.temp_before = self.temp_entries()
        self.log_start = os.path.getsize(os.path.join(WORK, "access.log"))
        updater = windows_path(os.path.join(BUILD, "bin", "nginx", "QIMUpdate.exe"))
        road = os.path.join(BUILD, "bin", "e2e", "qimroad.exe")
        environment = dict(os.environ)
        environment.pop("QIM_ROAD_SEED", None)
        if seed:
            environment["QIM_ROAD_SEED"] = windows_path(seed)
        run = subprocess.run(["wine", road, updater, scenario], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=240,
                             env=environment)
        output = run.stdout.decode(errors="replace").replace("\r", "")
        print(output)
        self.output = output
        results = dict(line[len("RESULT "):].split("=", 1)
                       for line in output.splitlines() if line.startswith("RESULT "))
        return run.returncode, results

    def served(self):
        """{path: (status, body bytes)} of the requests nginx answered during the last drive."""
        with open(os.path.join(WORK, "access.log")) as file:
            file.seek(self.log_start)
            lines = file.read().splitlines()
        requests = [re.search(r'"GET (\S+) [^"]*" (\d+) (\d+)', line) for line in lines]
        return {found[1]: (int(found[2]), int(found[3])) for found in requests if found}

    def publish_with_delta(self, installed_engine, unseeded=None):
        """1.0.0 as the road installs it plus a large file, then 1.1.0 with a delta from it;
        returns the seed folder that puts installed_engine into the installation. unseeded: a
        file of 1.1.0 that 1.0.0 has unchanged too, but the road's installation lacks."""
        shutil.rmtree(WEBROOT, ignore_errors=True)
        os.makedirs(WEBROOT)
        old = os.path.join(WORK, "old")
        make_installed_tree(BUILD, old)
        write_engine_data(old, 0)
        if unseeded:
            make_release_tree(BUILD, self.release, "1.1.0")
            write_file(os.path.join(old, unseeded),
                       open(os.path.join(self.release, unseeded), "rb").read())
        self.assertEqual(publish(old, "1.0.0").returncode, 0)
        make_release_tree(BUILD, self.release, "1.1.0")
        write_engine_data(self.release, 1)
        published = publish(self.release, "1.1.0", "--delta-from", WEBROOT)
        self.assertEqual(published.returncode, 0, published.stderr)
        seed = os.path.join(WORK, "seed")
        shutil.rmtree(seed, ignore_errors=True)
        write_file(os.path.join(seed, ENGINE), installed_engine)
        return seed

    @staticmethod
    def temp_entries():
        return set(glob.glob(os.path.join(PREFIX, "drive_c", "users", "*", "Temp", "qim*")))

    def assert_no_update_left_in_temp(self):
        # Only this road counts: tests before it may have killed an updater mid-download.
        self.assertEqual(self.temp_entries() - self.temp_before, set())

    def assert_updated(self, results):
        installation = results["installation"]
        self.assertEqual(tree_files(unix_path(installation)), tree_files(self.release))
        self.assertEqual(results["directory"], installation)
        for max_version in ("2010", "2012"):
            plugin = unix_path(f"C:\\Program Files\\Autodesk\\3ds Max {max_version}\\plugins\\QIMplugin.dlr")
            with open(plugin, "rb") as file:
                self.assertEqual(file.read(),
                                 f"QIM plug-in 1.1.0 for 3ds Max {max_version} 32 bit\n".encode())
        self.assertEqual(results["exit_code"], "0")
        self.assert_no_update_left_in_temp()

    def test_interactive(self):
        make_release_tree(BUILD, self.release, "1.1.0")
        self.assertEqual(publish(self.release, "1.1.0").returncode, 0)
        code, results = self.drive("interactive")
        self.assertEqual(code, 0)
        self.assert_updated(results)
        # No delta from 1.0.0: one question for it, then the full archive.
        served = self.served()
        self.assertEqual(served["/files/qimRenderer/Renderer_1.1.0.from-1.0.0.zip.sig"][0], 404)
        self.assertEqual(served["/files/qimRenderer/Renderer_1.1.0.zip"][0], 200)

    def test_error_page_for_delta(self):
        # A server that answers a missing file with a page of its own: no delta, the full archive.
        make_release_tree(BUILD, self.release, "1.1.0")
        self.assertEqual(publish(self.release, "1.1.0").returncode, 0)
        page = "/files/qimRenderer/Renderer_1.1.0.from-1.0.0.zip.sig"
        write_file(WEBROOT + page, b"<html><body><h1>Not Found</h1></body></html>\n")
        code, results = self.drive("interactive")
        self.assertEqual(code, 0)
        self.assert_updated(results)
        served = self.served()
        self.assertEqual(served[page][0], 200)
        self.assertNotIn("/files/qimRenderer/Renderer_1.1.0.from-1.0.0.zip", served)
        self.assertEqual(served["/files/qimRenderer/Renderer_1.1.0.zip"][0], 200)

    def test_delta(self):
        delta = "/files/qimRenderer/Renderer_1.1.0.from-1.0.0.zip"
        full = "/files/qimRenderer/Renderer_1.1.0.zip"
        # An installed file the user changed: the patch cannot apply, the full archive follows.
        code, results = self.drive("interactive", self.publish_with_delta(engine(7)))
        self.assertEqual(code, 0)
        self.assert_updated(results)
        self.assertIn("road: Full update downloaded: installed files did not match the patch "
                      "update.", self.output)
        served = self.served()
        self.assertEqual(served[delta][0], 200)
        self.assertEqual(served[full][0], 200)

        # A file 1.1.0 did not change is missing from the installation: the full archive too.
        code, results = self.drive("interactive", self.publish_with_delta(
            engine(0), unseeded="docs/notes/changes.txt"))
        self.assertEqual(code, 0)
        self.assert_updated(results)
        self.assertIn("road: Full update downloaded: installed files did not match the patch "
                      "update.", self.output)
        self.assertEqual(self.served()[full][0], 200)

        code, results = self.drive("interactive", self.publish_with_delta(engine(0)))
        self.assertEqual(code, 0)
        self.assert_updated(results)
        self.assertIn("road: Patch update ready: 1 changed file rebuilt, 7 files shipped whole.",
                      self.output)
        served = self.served()
        self.assertNotIn(full, served)
        full_size = os.path.getsize(WEBROOT + full)
        self.assertLess(sum(size for _, size in served.values()), full_size / 4)
        with zipfile.ZipFile(WEBROOT + delta) as zipped:
            names = zipped.namelist()
            manifest = zipped.read("delta/manifest.txt").decode().splitlines()
        self.assertIn("delta/" + ENGINE + ".zst", names)
        self.assertNotIn("Renderer/dll/32/PlenaraDLL32.dll", names)  # unchanged
        self.assertIn("Renderer/readme.txt", names)  # added
        self.assertRegex("\n".join(manifest),
                         f"(?m)^patch [0-9a-f]{{64}} [0-9a-f]{{64}} 262144 {ENGINE}$")
        # Every file of 1.1.0 is listed, the unchanged ones with their size and hash.
        self.assertRegex("\n".join(manifest),
                         "(?m)^same - [0-9a-f]{64} [0-9]+ dll/32/PlenaraDLL32.dll$")
        self.assertEqual(len([entry for entry in manifest[3:] if not entry.startswith("dir ")]),
                         len(tree_files(self.release)))

    def test_tampered_delta(self):
        seed = self.publish_with_delta(engine(0))
        delta = os.path.join(WEBROOT, "files", "qimRenderer", "Renderer_1.1.0.from-1.0.0.zip")
        flip_middle_byte(delta)
        code, results = self.drive("rejected", seed)
        self.assertEqual(code, 0)
        self.assertEqual(results["action_enabled"], "no")
        self.assertNotIn("/files/qimRenderer/Renderer_1.1.0.zip", self.served())
        version = unix_path(results["installation"] + "\\dll\\32\\PlenaraVersion.txt")
        with open(version) as file:
            self.assertEqual(file.read().split(), ["1", "0", "0"])
        self.assert_no_update_left_in_temp()

    def test_auto_install(self):
        make_release_tree(BUILD, self.release, "1.1.0")
        self.assertEqual(publish(self.release, "1.1.0").returncode, 0)
        code, results = self.drive("auto_install")
        self.assertEqual(code, 0)
        self.assert_updated(results)

    def test_silent_update(self):
        # Through a delta: a silent update takes it as the window does.
        code, results = self.drive("silent_update", self.publish_with_delta(engine(0)))
        self.assertEqual(code, 0)
        self.assert_updated(results)
        served = self.served()
        self.assertEqual(served["/files/qimRenderer/Renderer_1.1.0.from-1.0.0.zip"][0], 200)
        self.assertNotIn("/files/qimRenderer/Renderer_1.1.0.zip", served)

    def test_silent_no_update(self):
        make_release_tree(BUILD, self.release, "1.0.0")
        self.assertEqual(publish(self.release, "1.0.0").returncode, 0)
        code, results = self.drive("silent_no_update")
        self.assertEqual(code, 0)
        self.assertEqual(results["window_shown"], "no")
        self.assertEqual(results["exit_code"], "0")
        version = unix_path(results["installation"] + "\\dll\\32\\PlenaraVersion.txt")
        with open(version) as file:
            self.assertEqual(file.read().split(), ["1", "0", "0"])
        self.assert_no_update_left_in_temp()

    def test_tampered_release(self):
        make_release_tree(BUILD, self.release, "1.1.0")
        self.assertEqual(publish(self.release, "1.1.0").returncode, 0)
        archive = os.path.join(WEBROOT, "files", "qimRenderer", "Renderer_1.1.0.zip")
        flip_middle_byte(archive)
        code, results = self.drive("rejected")
        self.assertEqual(code, 0)
        self.assertEqual(results["action_enabled"], "no")
        self.assertEqual(results["exit_code"], "0")
        version = unix_path(results["installation"] + "\\dll\\32\\PlenaraVersion.txt")
        with open(version) as file:
            self.assertEqual(file.read().split(), ["1", "0", "0"])
        self.assert_no_update_left_in_temp()

    def test_publish_tool(self):
        make_release_tree(BUILD, self.release, "2.3.4")
        for bad in ("2.256.0", "-1.0.0", "1.2", "1.2.3.4", "a.b.c"):
            self.assertNotEqual(publish(self.release, bad).returncode, 0, bad)
        self.assertFalse(os.path.exists(os.path.join(WEBROOT, "files")))

        self.assertEqual(publish(self.release, "2.3.4", "--beta").returncode, 0)
        base = os.path.join(WEBROOT, "files", "qimRenderer")
        with open(os.path.join(base, "update", "alpha.ver"), "rb") as file:
            self.assertEqual(file.read(), bytes([2, 3, 4]))
        self.assertFalse(os.path.exists(os.path.join(base, "update", "qim.ver")))
        archive = os.path.join(base, "alpha", "Renderer_2.3.4.zip")
        with zipfile.ZipFile(archive) as zipped:
            names = zipped.namelist()
        self.assertTrue(all(name.startswith("Renderer/") for name in names))
        self.assertIn("Renderer/max2010 plugin/32/QIMplugin.dlr", names)
        # The statement beside it names the channel, version, file, size and BLAKE2b (that its
        # signature holds is what the updater checks in the roads above).
        with open(archive, "rb") as file:
            data = file.read()
        with open(archive + ".sig") as file:
            lines = file.read().splitlines()
        self.assertEqual(lines[:6], ["qim-release-statement-2", "channel beta", "version 2.3.4",
                                     "file Renderer_2.3.4.zip", f"size {len(data)}",
                                     "blake2b-256 " + hashlib.blake2b(data, digest_size=32).hexdigest()])
        self.assertRegex(lines[6], "^signature [0-9a-f]{128}$")
        self.assertEqual(len(lines), 7)

        # Last, the channel's announcement: version, the full archive's size and hash, issued
        # and expiry times (30 days by default); renew issues it afresh for what is published.
        announcement = os.path.join(base, "update", "alpha.ver.sig")
        with open(announcement) as file:
            lines = file.read().splitlines()
        self.assertEqual(lines[:6], ["qim-release-announcement-1", "channel beta", "version 2.3.4",
                                     "file Renderer_2.3.4.zip", f"size {len(data)}",
                                     "blake2b-256 " + hashlib.blake2b(data, digest_size=32).hexdigest()])
        issued, expires = int(lines[6].split()[1]), int(lines[7].split()[1])
        self.assertEqual(lines[6:8], [f"issued {issued}", f"expires {issued + 30 * 86400}"])
        self.assertRegex(lines[8], "^signature [0-9a-f]{128}$")
        self.assertGreaterEqual(os.stat(announcement).st_mtime, os.stat(archive).st_mtime)
        def renew():
            return subprocess.run([PUBLISH, "renew", WEBROOT, "--beta", "--key", KEY, "--days", "2"],
                                  capture_output=True, text=True)
        # Renewed at once, twice: each is issued after the one it replaces, even within a second.
        for _ in range(2):
            renewed = renew()
            self.assertEqual(renewed.returncode, 0, renewed.stderr)
            with open(announcement) as file:
                again_lines = file.read().splitlines()
            self.assertEqual(again_lines[:6], lines[:6])
            later = int(again_lines[6].split()[1])
            self.assertGreater(later, issued)
            self.assertEqual(again_lines[7], f"expires {later + 2 * 86400}")
            issued = later
        # Only what was signed is announced again: not an archive changed since, nor one whose
        # signature file is gone.
        with open(archive, "rb") as file:
            signed_archive = file.read()
        flip_middle_byte(archive)
        refused = renew()
        write_file(archive, signed_archive)
        os.rename(archive + ".sig", archive + ".kept")
        unsigned = renew()
        os.rename(archive + ".kept", archive + ".sig")
        for outcome, words in ((refused, "is not the archive its signature file states"),
                               (unsigned, "signature file is missing")):
            self.assertNotEqual(outcome.returncode, 0)
            self.assertIn(words, outcome.stderr)
        with open(announcement) as file:
            self.assertEqual(file.read().splitlines(), again_lines, "left as it was")

        again = publish(self.release, "2.3.4", "--beta")
        self.assertNotEqual(again.returncode, 0)
        self.assertIn("already published", again.stderr)
        self.assertEqual(publish(self.release, "2.3.4", "--beta", "--force").returncode, 0)
        leftovers = [name for _, _, files in os.walk(WEBROOT) for name in files
                     if name.startswith(".publish-")]
        self.assertEqual(leftovers, [])

        # A delta is used only when signed, so none is made without a key.
        refused = publish(self.release, "2.3.5", "--delta-from", WEBROOT, key="")
        self.assertNotEqual(refused.returncode, 0)
        self.assertIn("--delta-from needs --key", refused.stderr)
        unsigned = publish(self.release, "2.3.4", "--beta", "--force", key="")
        self.assertEqual(unsigned.returncode, 0)
        self.assertIn("unsigned", unsigned.stderr)
        self.assertFalse(os.path.exists(archive + ".sig"), "a signature of another archive")
        self.assertFalse(os.path.exists(announcement), "an announcement of another archive")

    def test_publish_deltas(self):
        """What the tool makes of ordinary releases: a file becoming empty, a new empty folder,
        a renamed library, a republished version, names the updater would refuse, nothing to
        patch from, and earlier archives that are not as signed."""
        import random
        base = os.path.join(WEBROOT, "files", "qimRenderer")
        big = random.Random(5).randbytes(96 * 1024)
        library = random.Random(6).randbytes(32 * 1024)

        def tree(name, files, folders=()):
            root = os.path.join(WORK, "trees", name)
            shutil.rmtree(root, ignore_errors=True)
            for path, data in files.items():
                write_file(os.path.join(root, path), data)
            for folder in folders:
                os.makedirs(os.path.join(root, folder))
            return root

        def manifest(version, earlier):
            with zipfile.ZipFile(os.path.join(base, f"Renderer_{version}.from-{earlier}.zip")) as z:
                return z.read("delta/manifest.txt").decode().splitlines()

        first = tree("1.0.0", {"big.bin": big, "readme.txt": b"hello",
                               "lib/libvips-cpp-8.17.2.dll": library})
        nothing = publish(first, "1.0.0", "--delta-from", WEBROOT)
        self.assertEqual(nothing.returncode, 0, nothing.stderr)
        self.assertIn("found no earlier release", nothing.stderr)
        renamed = bytearray(library)
        renamed[100:104] = b"8173"
        second = tree("1.1.0", {"big.bin": big, "readme.txt": b"",
                                "lib/libvips-cpp-8.17.3.dll": bytes(renamed)}, ["plugins/empty"])
        made = publish(second, "1.1.0", "--delta-from", WEBROOT)
        self.assertEqual(made.returncode, 0, made.stderr)
        self.assertNotIn("warning", made.stderr)
        lines = manifest("1.1.0", "1.0.0")
        self.assertEqual(lines[:3], ["qim-delta-manifest-2", "from 1.0.0", "version 1.1.0"])
        self.assertRegex("\n".join(lines), "(?m)^whole [0-9a-f]{64} [0-9a-f]{64} 0 readme.txt$")
        self.assertRegex("\n".join(lines), "(?m)^same - [0-9a-f]{64} 98304 big.bin$")
        self.assertRegex("\n".join(lines), "(?m)^patch [0-9a-f]{64} [0-9a-f]{64} 32768 "
                         "lib/libvips-cpp-8.17.3.dll\tlib/libvips-cpp-8.17.2.dll$")
        self.assertIn("dir - - - plugins/empty", lines)
        # The statement binds the delta to the full archive it reproduces.
        delta = os.path.join(base, "Renderer_1.1.0.from-1.0.0.zip")
        with open(delta + ".sig") as file:
            statement = file.read().splitlines()
        with open(os.path.join(base, "Renderer_1.1.0.zip"), "rb") as file:
            full = file.read()
        self.assertEqual(statement[:7], [
            "qim-delta-statement-3", "channel release", "from 1.0.0", "version 1.1.0",
            "file Renderer_1.1.0.from-1.0.0.zip", f"full-size {len(full)}",
            "full-blake2b-256 " + hashlib.blake2b(full, digest_size=32).hexdigest()])

        # Republished, the version's old deltas go; only the new one is made from 1.0.0 again.
        again = publish(second, "1.1.0", "--force")
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertFalse(os.path.exists(delta) or os.path.exists(delta + ".sig"))

        # Names the updater refuses, and a delta not worth it: no delta, and the tool says why.
        for name, files, reason in (
                ("nonascii", {"big.bin": big, "docs/caf\u00e9.txt": b"x"}, "printable ASCII"),
                ("device", {"big.bin": big, "lib/aux.dll": b"x"}, "device name"),
                ("case", {"big.bin": big, "A.txt": b"x", "a.TXT": b"y"}, "differ only in case"),
                ("longpath", {"big.bin": big, "/".join(["d" * 230] * 9): b"x"}, "bytes or more"),
                ("toolarge", {"big.bin": random.Random(7).randbytes(96 * 1024)}, "over 70%")):
            refused = publish(tree(name, files), "1.2.0", "--force", "--delta-from",
                              os.path.join(base, "Renderer_1.1.0.zip"))
            self.assertEqual(refused.returncode, 0, refused.stderr)
            self.assertIn(reason, refused.stderr, name)
            self.assertFalse(os.path.exists(os.path.join(base, "Renderer_1.2.0.from-1.1.0.zip")))

        # A name whose case alone changed is patched against its old name.
        recased = publish(tree("recased", {"big.bin": big, "readme.txt": b"",
                                           "lib/LIBVIPS-cpp-8.17.3.dll": library}),
                          "1.2.0", "--force", "--delta-from", os.path.join(base, "Renderer_1.1.0.zip"))
        self.assertEqual(recased.returncode, 0, recased.stderr)
        self.assertRegex("\n".join(manifest("1.2.0", "1.1.0")), "(?m)^patch .* "
                         "lib/LIBVIPS-cpp-8.17.3.dll\tlib/libvips-cpp-8.17.3.dll$")

        # An earlier archive named that cannot be read, or --delta-last out of place: nothing is
        # written, the version file stays.
        damaged = os.path.join(WORK, "damaged", "Renderer_1.0.0.zip")
        write_file(damaged, b"PK\x03\x04 not a zip")
        for arguments in (("--delta-from", damaged), ("--delta-last", "1"),
                          ("--delta-from", WEBROOT, "--delta-last", "-1")):
            stopped = publish(second, "1.4.0", *arguments)
            self.assertNotEqual(stopped.returncode, 0, arguments)
            self.assertFalse(os.path.exists(os.path.join(base, "Renderer_1.4.0.zip")), arguments)

        # From a web root: only archives as their signed statements say, the last N if asked.
        flip_middle_byte(os.path.join(base, "Renderer_1.0.0.zip"))
        third = publish(second, "1.2.0", "--force", "--delta-from", WEBROOT)
        self.assertIn("Renderer_1.0.0.zip is not as its statement", third.stderr)
        self.assertEqual(sorted(name for name in os.listdir(base) if ".from-" in name),
                         ["Renderer_1.2.0.from-1.1.0.zip", "Renderer_1.2.0.from-1.1.0.zip.sig"])
        last = publish(second, "1.3.0", "--delta-from", WEBROOT, "--delta-last", "1")
        self.assertEqual(last.returncode, 0, last.stderr)
        self.assertIn("delta from 1.2.0", last.stdout)
        self.assertNotIn("delta from 1.1.0", last.stdout)

    def test_keygen(self):
        secret = os.path.join(WORK, "keys", "secret.key")
        shutil.rmtree(os.path.dirname(secret), ignore_errors=True)
        os.makedirs(os.path.dirname(secret))
        made = subprocess.run([PUBLISH, "keygen", secret], capture_output=True, text=True)
        self.assertEqual(made.returncode, 0, made.stderr)
        self.assertRegex(made.stdout, "^qim-release-public-key-1 [0-9a-f]{64}\n$")
        self.assertEqual(os.stat(secret).st_mode & 0o777, 0o600)
        with open(secret) as file:
            key = file.read()
        self.assertRegex(key, "^qim-release-secret-key-1 [0-9a-f]{64}\n$")
        # The public key where the secret one belongs is refused, with its reason.
        public = os.path.join(WORK, "keys", "public.key")
        with open(public, "w") as file:
            file.write(made.stdout)
        make_release_tree(BUILD, self.release, "2.3.6")
        # So is a bare line of hex, which may be either half: an older keygen's secret key is
        # used through a labelled copy.
        bare = os.path.join(WORK, "keys", "bare.key")
        with open(bare, "w") as file:
            file.write(key.split()[1] + "\n")
        for wrong, words in ((public, "that is the public key"), (bare, "publish-release relabel")):
            refused = publish(self.release, "2.3.6", key=wrong)
            self.assertNotEqual(refused.returncode, 0)
            self.assertIn(words, refused.stderr)
        relabelled = os.path.join(WORK, "keys", "relabelled.key")
        copied = subprocess.run([PUBLISH, "relabel", bare, relabelled], capture_output=True,
                                text=True)
        self.assertEqual((copied.returncode, copied.stdout), (0, made.stdout), copied.stderr)
        with open(relabelled) as file:
            self.assertEqual(file.read(), key)
        self.assertEqual(os.stat(relabelled).st_mode & 0o777, 0o600)
        signed = publish(self.release, "2.3.6", "--beta", key=secret)
        self.assertEqual(signed.returncode, 0, signed.stderr)
        self.assertIn(made.stdout.strip(), signed.stdout, "it says which key it signs with")
        again = subprocess.run([PUBLISH, "keygen", secret], capture_output=True, text=True)
        self.assertNotEqual(again.returncode, 0)
        with open(secret) as file:
            self.assertEqual(file.read(), key, "an existing key is never replaced")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], *sys.argv[1:]], verbosity=2)
