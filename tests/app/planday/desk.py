"""The workplace for a planning day: a private X server, a private application folder with the
sample patient, the program started in it, the screen read back, and the outside reading of a
saved planning (configparser, pydicom, numpy).

Run with /usr/bin/python3: Debian's python3-pydicom and python3-numpy install for it."""
import atexit
import configparser
import ctypes
import glob
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time


def own_user_folders():
    """Points the user's folders (home, data, configuration, cache, runtime) and the temporary
    folder of this process and every program it starts into one folder of its own, removed at
    its end (also when it is ended by SIGTERM): the runs write nothing into the user's home."""
    root = tempfile.mkdtemp(prefix="morvanta-test-")
    os.chmod(root, 0o755)
    home = os.path.join(root, "home")
    folders = {"HOME": home, "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
               "XDG_STATE_HOME": os.path.join(home, ".local", "state"),
               "XDG_CONFIG_HOME": os.path.join(home, ".config"), "XDG_CACHE_HOME": os.path.join(home, ".cache"),
               "XDG_RUNTIME_DIR": os.path.join(root, "runtime"), "TMPDIR": os.path.join(root, "tmp")}
    for folder in folders.values():
        os.makedirs(folder, 0o700, exist_ok=True)
    os.environ.update(folders)
    os.environ.setdefault("QT_DISABLE_SHADER_DISK_CACHE", "1")
    os.environ.setdefault("MESA_SHADER_CACHE_DISABLE", "true")
    tempfile.tempdir = None  # taken from TMPDIR again
    atexit.register(shutil.rmtree, root, True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    end_what_it_starts(root)


def ends_with_parent(number=signal.SIGTERM):
    """Has the calling process sent the signal when its parent ends (the kernel's parent-death
    signal), however the parent ends."""
    ctypes.CDLL(None, use_errno=True).prctl(1, int(number), 0, 0, 0)  # PR_SET_PDEATHSIG


def end_what_it_starts(root):
    """What this process starts ends with it, however it ends (also killed), before its folder
    goes: it leads a process group of its own, which its children (Xvfb, the program) and theirs
    stay in also once init adopts them, and a watcher outside the group asks what is left in it
    to end once this process has ended, kills what has not after a while, and then removes the
    folder. Under ctest, whose group it leaves, it ends when ctest ends (Ctrl+C reaches ctest's
    group only). A group a shell's job control made holds the job's other commands too (a
    pipeline's): those, the parent's other children and theirs, are left alone."""
    group, parent = os.getpid(), os.getppid()
    found = os.getpgrp() == group
    if not found:
        os.setpgid(0, 0)
        ends_with_parent()
    reading, writing = os.pipe()  # not inherited by the programs it starts
    if os.fork() == 0:
        os.setsid()
        if os.fork() != 0:
            os._exit(0)
        os.close(writing)
        try:
            os.read(reading, 1)  # nothing comes: the end of the pipe is the end of the process
            asked, told = time.monotonic(), set()
            while time.monotonic() - asked < 70:
                members = group_members(group)
                left = [pid for pid, (state, _) in members.items()
                        if pid != group and state not in "ZX" and not (found and in_job(pid, members, group, parent))]
                if not left:
                    break
                for pid in left:
                    try:
                        if pid not in told:
                            told.add(pid)
                            os.kill(pid, signal.SIGTERM)
                            os.kill(pid, signal.SIGCONT)
                        elif time.monotonic() - asked > 10:
                            os.kill(pid, signal.SIGKILL)
                    except OSError:
                        pass
                time.sleep(0.01)
            shutil.rmtree(root, True)
        finally:
            os._exit(0)
    os.close(reading)
    os.wait()


def group_members(group):
    """The processes of the group with their states (a zombie's is Z) and parents, from /proc."""
    members = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open("/proc/%s/stat" % name) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except (OSError, IndexError):
                continue
            if int(fields[2]) == group:
                members[int(name)] = (fields[0], int(fields[1]))
    return members


def in_job(pid, members, leader, parent):
    """Whether the member descends from the leader's parent through other members only: another
    command of the leader's job."""
    for _ in range(len(members)):
        up = members[pid][1]
        if up == parent:
            return True
        if up == leader or up not in members:
            return False
        pid = up
    return False


class XServer:
    """Xvfb on a display it picks itself (-displayfd: no race with other servers)."""

    def __init__(self, size="1920x1080x24"):
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", "1", "-screen", "0", size, "-nolisten", "tcp", "-noreset"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, preexec_fn=ends_with_parent)
        number = self.process.stdout.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode()

    def close(self):
        self.process.terminate()
        self.process.wait(10)
        self.process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


class Home:
    """A private application folder: the built program's data and pictures, the sample patient
    as the import folder, a copy of the implant database, and plannings under patients/."""

    def __init__(self, built, extra_settings=""):
        self.path = tempfile.mkdtemp(prefix="planday-")
        for linked in ("Data", "SamplePatient"):
            os.symlink(os.path.join(built, linked), os.path.join(self.path, linked))
        shutil.copytree(os.path.join(built, "ImplantDatabase"), os.path.join(self.path, "ImplantDatabase"))
        # The day was recorded with an empty implant short list (its selection dialog opens on
        # the whole database).
        open(os.path.join(self.path, "ImplantDatabase", "selection.db"), "w").close()
        os.makedirs(self.patients())
        with open(os.path.join(self.path, "Morvanta.ini"), "w") as ini:
            ini.write("[Morvanta]\nPatientPath=%s\nCdpath=%s\nCaptureSupport=1\n%s"
                      % (self.patients(), os.path.join(self.path, "SamplePatient"), extra_settings))

    def patients(self):
        return os.path.join(self.path, "patients")

    def plannings(self):
        return sorted(glob.glob(os.path.join(self.patients(), "*", "*.srl")))

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


def environment(display, home, **extra):
    env = dict(os.environ, DISPLAY=display, MORVANTA_HOME=home.path, **extra)
    env.pop("QT_QPA_PLATFORM", None)
    return env


class Run:
    """The program as a child process; its peak memory and wall time once it has ended."""

    def __init__(self, program, args, env, cwd=None, log=None):
        self.started = time.monotonic()
        self.log = open(log, "wb") if log else subprocess.DEVNULL
        self.process = subprocess.Popen([program] + args, env=env, cwd=cwd, stdout=self.log, stderr=subprocess.STDOUT,
                                        preexec_fn=ends_with_parent)
        self.seconds = None
        self.peak_kib = None

    def running(self):
        return self.process.poll() is None

    def wait(self, timeout):
        """Waits for the end (os.wait4 gives the child's own peak resident size); None on timeout."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            pid, status, usage = os.wait4(self.process.pid, os.WNOHANG)
            if pid:
                self.seconds = time.monotonic() - self.started
                self.peak_kib = usage.ru_maxrss
                self.process.returncode = os.waitstatus_to_exitcode(status)
                if self.log is not subprocess.DEVNULL:
                    self.log.close()
                return self.process.returncode
            time.sleep(0.05)
        return None

    def kill(self):
        if self.running():
            self.process.kill()
            self.wait(10)


class Screen:
    """Real X input through xdotool and the screen read back through ImageMagick's import."""

    def __init__(self, display):
        self.display = display
        self.env = dict(os.environ, DISPLAY=display)

    def xdotool(self, *args):
        return subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env, check=True,
                              capture_output=True, text=True).stdout.strip()

    def click(self, point, pause=0.4):
        self.xdotool("mousemove", point[0], point[1], "sleep", "0.15", "click", "1")
        time.sleep(pause)

    def drag(self, start, offset, steps=6):
        """Presses, moves in small steps, releases: a drag as a hand makes it."""
        x, y = start
        self.xdotool("mousemove", x, y, "sleep", "0.2", "mousedown", "1")
        for i in range(1, steps + 1):
            self.xdotool("mousemove", x + offset[0] * i // steps, y + offset[1] * i // steps, "sleep", "0.05")
        self.xdotool("sleep", "0.2", "mouseup", "1")
        time.sleep(0.4)

    def key(self, name):
        self.xdotool("key", name)

    def grab(self):
        """The whole screen as (width, height, rgb bytes)."""
        data = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], env=self.env, check=True,
                              capture_output=True).stdout
        fields, offset = [], 0
        while len(fields) < 4:
            while data[offset:offset + 1].isspace():
                offset += 1
            end = offset
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(data[offset:end])
            offset = end
        width, height = int(fields[1]), int(fields[2])
        return width, height, data[offset + 1:]

    def pixel(self, point, shot=None):
        width, _, rgb = shot or self.grab()
        i = 3 * (point[1] * width + point[0])
        return tuple(rgb[i:i + 3])

    def wait_for(self, condition, what, timeout=60):
        """Waits until condition(shot) holds on a fresh screen grab."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if condition(self.grab()):
                return
            time.sleep(0.25)
        raise RuntimeError("waited in vain for " + what)

    def wait_window(self, name, timeout=60):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", name], env=self.env,
                                   capture_output=True, text=True).stdout.split()
            if found:
                time.sleep(1.0)
                return found[0]
            time.sleep(0.25)
        raise RuntimeError("no window " + name)

    def save(self, file_name):
        subprocess.run(["import", "-window", "root", file_name], env=self.env, check=True)


def bright(pixel, level=200):
    return min(pixel) >= level


def lit(pixel, level=15):
    return max(pixel) >= level


def saved_at(srl):
    """The save time a planning lists under (its lastModified)."""
    with open(srl, encoding="utf-8") as f:
        return next(line.split("=", 1)[1].strip() for line in f if line.startswith("lastModified"))


def stamp(srl, when):
    """Gives the planning the save time of a recorded run, so that it is listed as it was then."""
    with open(srl, encoding="utf-8") as f:
        text = f.read().replace("lastModified = " + saved_at(srl), "lastModified = " + when, 1)
    with open(srl, "w", encoding="utf-8") as f:
        f.write(text)


def damage(planning, home):
    """A copy of the planning whose first implant pose is not a number (the planning list leaves it out)."""
    folder = os.path.join(home.patients(), "0000-damaged")
    shutil.copytree(os.path.dirname(planning), folder)
    old = os.path.join(folder, os.path.basename(planning))
    with open(old, encoding="utf-8") as f:
        text = f.read().replace("transform0 = ", "transform0 = 0.5 nonsense ", 1)
    os.remove(old)
    with open(os.path.join(folder, "0000-damaged.srl"), "w", encoding="utf-8") as f:
        f.write(text)
    return os.path.join(folder, "0000-damaged.srl")


def read_planning(srl):
    """What an outside reader takes from a saved planning: every section of the .srl except the
    save time and the origin (the time-stamp name of the folder it was first saved in), the
    implant poses as numpy matrices, and the DICOM copies' identity and pixels."""
    import numpy
    import pydicom

    folder = os.path.dirname(srl)
    parser = configparser.ConfigParser(strict=False, interpolation=None)
    parser.optionxform = str
    with open(srl, encoding="utf-8") as f:
        parser.read_file(f)
    text = {s: dict(parser[s]) for s in parser.sections()}
    text.get("Planningdata", {}).pop("lastModified", None)
    text.get("Planningdata", {}).pop("origin", None)

    def numbers(value):
        return [float(v) for v in value.split()]

    poses = []
    implants = text.get("Implant", {})
    for i in range(int(implants.get("implant", 0))):
        poses.append(numpy.array(numbers(implants.pop("transform%d" % i))).reshape(4, 4).tolist())
    points = {}
    for section in ("PanoramicLine", "Nerve", "Marker", "Slices"):
        for key, value in list(text.get(section, {}).items()):
            try:
                points[section + "." + key] = numbers(value)
                if len(points[section + "." + key]) > 1 or section == "Slices":
                    del text[section][key]
                else:
                    del points[section + "." + key]
            except ValueError:
                pass
    # The pixels of each copy; the identities are the source's (checked by dicom_uids), which a
    # newly built sample patient gives anew.
    dicom = []
    for name in sorted(glob.glob(os.path.join(folder, "dicom", "*"))):
        dicom.append([os.path.basename(name), hashlib.sha1(pydicom.dcmread(name).PixelData).hexdigest()])
    files = sorted(os.path.relpath(p, folder) for p in glob.glob(os.path.join(folder, "*", "**"), recursive=True)
                   if os.path.isfile(p) and not p.startswith(os.path.join(folder, "system")))
    return {"text": text, "poses": poses, "points": points, "dicom": dicom, "files": files}


def dicom_uids(folder):
    """The SOP instance UIDs of the DICOM files in the folder, sorted."""
    import pydicom

    return sorted(str(pydicom.dcmread(name, stop_before_pixels=True).SOPInstanceUID)
                  for name in glob.glob(os.path.join(folder, "*")))


def differences(a, b, tolerance=1e-6):
    """Where two outside readings differ: text exactly, numbers within the tolerance (mm)."""
    import numpy

    found = []
    for key in ("text", "dicom", "files"):
        if a[key] != b[key]:
            found.append(key)
    if len(a["poses"]) != len(b["poses"]) or any(
            not numpy.allclose(p, q, rtol=0, atol=tolerance) for p, q in zip(a["poses"], b["poses"])):
        found.append("poses")
    for key in sorted(set(a["points"]) | set(b["points"])):
        p, q = a["points"].get(key), b["points"].get(key)
        if p is None or q is None or len(p) != len(q) or not numpy.allclose(p, q, rtol=0, atol=tolerance):
            found.append(key)
    return found
