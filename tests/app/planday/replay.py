#!/usr/bin/python3
"""The recorded planning day replayed in fresh processes in test mode, each on an X server of its
own: the saved planning, read by an outside reader, equals the recording run's (also at another
window and font size), and so do the main window's widgets at the end; the reload session,
offered only the sound planning beside a damaged one, plays through and changes nothing on disk;
the planning's own encrypted recording decrypts with openssl to a script that, played by the program
after the import, reproduces its planning.

Playback runs in compressed time: each event waits only for its widget to exist and take input.

    replay.py BUILT_APP_FOLDER"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import desk  # noqa: E402
import drive  # noqa: E402

BUILT = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(HERE, "../../../build/app")
COMPRESSED = '<TapewrightConfig compressTime="1" creationTimeOut="120000"/>\n'
KEY = "4d6f7276616e74612d6c6f672d6b6579"

# The line every start writes once its walk of the patient folders is through.
WALKED = "the patient folders were looked through at this start: "


def expected(name):
    with open(os.path.join(HERE, name)) as f:
        return json.load(f)


class PlanningDay(unittest.TestCase):
    def replay(self, home, script, normal_mode=False, during=None, screen="1920x1080x24", **env):
        """Plays the script in a fresh process; its exit code and everything it printed but the
        start's line that says it has looked through the patient folders."""
        runtime = tempfile.mkdtemp(prefix="planday-xdg-")
        self.addCleanup(shutil.rmtree, runtime, True)
        config = os.path.join(runtime, "compressed.xml")
        with open(config, "w") as f:
            f.write(COMPRESSED)
        args = ([] if normal_mode else ["-test"]) + ["-playback", "-noconfig", "-script", script, "-configfile", config]
        with desk.XServer(screen) as x:
            log = os.path.join(home.path, "replay.log")
            run = desk.Run(os.path.join(BUILT, "Morvanta"), args,
                           desk.environment(x.display, home, XDG_RUNTIME_DIR=runtime, **env), log=log)
            try:
                if during:
                    during(desk.Screen(x.display))
                code = run.wait(600)
            finally:
                run.kill()
        with open(log, errors="replace") as f:
            return code, "".join(line for line in f if not line.startswith(WALKED))

    def assertSamePlanning(self, srl, reading, home):
        self.assertEqual(desk.differences(desk.read_planning(srl), reading), [])
        self.assertEqual(desk.dicom_uids(os.path.join(os.path.dirname(srl), "dicom")),
                         desk.dicom_uids(os.path.join(home.path, "SamplePatient")))

    def test_day_reload_and_damaged_planning(self):
        day = expected("day.json")
        home = desk.Home(BUILT)
        self.addCleanup(home.remove)
        widgets = os.path.join(home.path, "widgets.json")
        self.assertEqual(self.replay(home, os.path.join(HERE, "day.tpw"), MORVANTA_WIDGET_DUMP=widgets), (0, ""))
        self.assertEqual(len(home.plannings()), 1)
        self.assertSamePlanning(home.plannings()[0], day, home)
        with open(widgets) as f:
            self.assertEqual(json.load(f), expected("day-widgets.json"), "the widgets as the recording run left them")
        # The reload session lists the plannings as they were when it was recorded.
        saved = home.plannings()[0]
        desk.stamp(saved, day["saved_at"])
        damaged = desk.damage(saved, home)
        with open(damaged, "rb") as f:
            damaged_bytes = f.read()
        # The damaged planning is left out of the list, with the reader's reason.
        left_out = 'planning not listed: The planning file %s holds an invalid value of "transform0" in [Implant].\n'
        self.assertEqual(self.replay(home, os.path.join(HERE, "reload.tpw")), (0, left_out % damaged))
        self.assertEqual(home.plannings(), sorted([saved, damaged]))
        self.assertSamePlanning(saved, day, home)
        with open(damaged, "rb") as f:
            self.assertEqual(f.read(), damaged_bytes)

    def test_day_at_another_window_and_font_size(self):
        # The views' positions play relative to their size.
        home = desk.Home(BUILT)
        self.addCleanup(home.remove)
        self.assertEqual(self.replay(home, os.path.join(HERE, "day.tpw"), screen="1680x1050x24", QT_FONT_DPI="120"),
                         (0, ""))
        self.assertEqual(len(home.plannings()), 1)
        self.assertSamePlanning(home.plannings()[0], expected("day.json"), home)

    def test_planning_recording_decrypts_and_replays(self):
        recording = os.path.join(HERE, "system.log")
        script = subprocess.run(["openssl", "enc", "-d", "-aes-128-ecb", "-K", KEY, "-in", recording],
                                check=True, capture_output=True).stdout
        events = xml.etree.ElementTree.fromstring(script)
        self.assertEqual(events.tag, "Events")
        self.assertGreater(len(events), 100)
        home = desk.Home(BUILT)
        self.addCleanup(home.remove)

        def import_and_start(screen):
            # The program plays the script once the import is done, after its notice (in the
            # middle of the screen, where the views leave black).
            day = drive.Day(screen, home.path, "host")
            screen.wait_window("^Morvanta$")
            day.open_patient(drive.START_NEW)
            day.wait_lit(drive.AXIAL_IMAGE, "the imported volume")
            day.wait_bright(drive.SCREEN_MIDDLE, "the playback notice")
            screen.key("Return")

        code, _ = self.replay(home, recording, normal_mode=True, during=import_and_start)
        self.assertEqual(code, 0)
        self.assertEqual(len(home.plannings()), 1)
        self.assertSamePlanning(home.plannings()[0], expected("system.json"), home)


if __name__ == "__main__":
    desk.own_user_folders()
    unittest.main(argv=sys.argv[:1], verbosity=2)
