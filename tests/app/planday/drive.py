#!/usr/bin/python3
"""Drives the real program through a planning day by real X input (xdotool) on a private
1920x1080 Xvfb, optionally recording it with the program's recorder, and keeps a screenshot of
every step. The places are those of the full-screen main window at that size.

    drive.py --built build/app --shots /tmp/shots [--record day.tpw] [--expect day.json] [--widgets day-widgets.json]

The day: import the sample patient, draw the panoramic curve in the axial view, generate the 3D
model (the markers are detected), trace the nerve on both sides, place two implants from the
database, exchange one, rotate the other, measure a length, save as a new planning. Then, with
--reload SCRIPT, a second session reloads the saved planning (after a damaged one has been
refused) and quits without saving."""
import argparse
import glob
import json
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desk  # noqa: E402

# The main window's places at 1920x1080 (buttons, views, the dialogs centred on the screen).
PATIENT, GENERATE, IMPLANT, NERVE, LENGTH, OK = (57, 36), (305, 36), (431, 36), (542, 36), (654, 36), (766, 36)
START_NEW, RELOAD, FIRST_ROW, SECOND_ROW, IMPORT = (791, 498), (949, 498), (738, 322), (738, 352), (1220, 684)
CURVE = [(1139, 738), (1150, 659), (1207, 622), (1263, 636), (1299, 738)]
NERVE_POINTS = [(270, 297), (323, 306), (376, 314), (686, 314), (738, 306), (791, 297)]
IMPLANT_AT = [(1145, 679), (1276, 676)]
TREE_MAKER, TREE_LINE, SELECT_OK = (567, 336), (607, 367), (1283, 688)
D40_L10, D33_L115, D40_L13 = (870, 576), (870, 456), (870, 637)
IMPLANT_LIST_FIRST, EXCHANGE = (1859, 166), (1861, 765)
CROSS_SECTION_APEX = (1369, 260)
MEASURE = [(1142, 738), (1299, 738)]
MESSAGE_OK, SAVE_AS_NEW, QUIT_WITHOUT_SAVE = (949, 538), (820, 489), (1072, 489)
# Where the screen shows that a step is done.
AXIAL_IMAGE, PANORAMIC_IMAGE, MODEL_IMAGE = (1220, 791), (527, 264), (343, 738)
LOAD_QUESTION, DIALOG_MIDDLE, MESSAGE_BOX, SCREEN_MIDDLE = (949, 448), (870, 527), (949, 420), (960, 540)


class Day:
    def __init__(self, screen, shots, name):
        self.screen, self.shots, self.name, self.step = screen, shots, name, 0

    def shot(self, name):
        self.step += 1
        time.sleep(0.6)
        self.screen.save(os.path.join(self.shots, "%s-%02d-%s.png" % (self.name, self.step, name)))

    def wait_lit(self, point, what, timeout=90):
        self.screen.wait_for(lambda s: desk.lit(self.screen.pixel(point, s)), what, timeout)

    def wait_bright(self, point, what, timeout=30):
        self.screen.wait_for(lambda s: desk.bright(self.screen.pixel(point, s)), what, timeout)

    def wait_dark(self, point, what, timeout=30):
        self.screen.wait_for(lambda s: not desk.bright(self.screen.pixel(point, s)), what, timeout)

    def open_patient(self, choice, row=FIRST_ROW):
        self.screen.click(PATIENT)
        self.wait_bright(LOAD_QUESTION, "the load question")
        self.screen.click(choice, pause=2.5)
        self.shot("study-list" if choice == START_NEW else "planning-list")
        self.screen.click(row)
        self.screen.click(IMPORT)

    def choose_implant(self, line, expand):
        self.wait_bright(DIALOG_MIDDLE, "the implant selection")
        if expand:
            self.screen.click(TREE_MAKER)
            self.screen.click(TREE_LINE)
        self.screen.click(line)
        self.shot("implant-selection")
        self.screen.click(SELECT_OK)
        self.wait_dark(DIALOG_MIDDLE, "the selection to close")

    def plan(self):
        self.screen.wait_window("^Morvanta$")
        self.shot("start")
        self.open_patient(START_NEW)
        self.wait_lit(AXIAL_IMAGE, "the imported volume")
        self.shot("imported")
        for point in CURVE:
            self.screen.click(point)
        self.wait_lit(PANORAMIC_IMAGE, "the panoramic image")
        self.shot("panoramic-curve")
        self.screen.click(GENERATE)
        self.wait_lit(MODEL_IMAGE, "the 3D model", timeout=180)
        self.shot("model-and-markers")
        self.screen.click(NERVE)
        for point in NERVE_POINTS:
            self.screen.click(point)
        self.shot("nerves")
        for at, line, first in ((IMPLANT_AT[0], D40_L10, True), (IMPLANT_AT[1], D33_L115, False)):
            self.screen.click(IMPLANT)
            self.screen.click(at)
            self.choose_implant(line, first)
            self.shot("implant-placed")
        self.screen.click(IMPLANT_LIST_FIRST)
        self.screen.click(EXCHANGE)
        self.choose_implant(D40_L13, False)
        self.shot("implant-exchanged")
        self.screen.drag(CROSS_SECTION_APEX, (12, 0))
        self.shot("implant-rotated")
        self.screen.click(LENGTH)
        for point in MEASURE:
            self.screen.click(point)
        self.wait_bright(MESSAGE_BOX, "the measured length")
        self.shot("length")
        self.screen.click(MESSAGE_OK)
        self.screen.click(OK)
        self.wait_bright(MESSAGE_BOX, "the save question")
        self.shot("save-question")
        self.screen.click(SAVE_AS_NEW)

    def reload(self, damaged):
        """Reloads: the damaged planning (listed first) is refused with its message, then the
        saved one loads; the session ends without saving."""
        self.screen.wait_window("^Morvanta$")
        if damaged:
            self.open_patient(RELOAD)
            self.wait_bright(MESSAGE_BOX, "the damaged planning's message")
            self.shot("damaged-planning")
            self.screen.click(MESSAGE_OK, pause=1.0)
        self.open_patient(RELOAD, SECOND_ROW if damaged else FIRST_ROW)
        self.wait_lit(PANORAMIC_IMAGE, "the reloaded planning")
        self.wait_lit(MODEL_IMAGE, "the reloaded model", timeout=180)
        self.shot("reloaded")
        self.screen.click(OK)
        self.wait_bright(MESSAGE_BOX, "the save question")
        self.screen.click(QUIT_WITHOUT_SAVE)


def session(args, x, home, record_args, name, act, **env):
    run = desk.Run(os.path.join(args.built, "Morvanta"), record_args, desk.environment(x.display, home, **env),
                   log=os.path.join(args.shots, name + ".log"))
    try:
        act(Day(desk.Screen(x.display), args.shots, name))
        code = run.wait(120)
        if code is None:
            raise RuntimeError("the program did not end after the " + name)
        print("%s: exit %d after %.1f s, peak %.0f MiB" % (name, code, run.seconds, run.peak_kib / 1024))
        return code, run.seconds
    finally:
        run.kill()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--built", required=True, help="the built program's folder (build/app)")
    parser.add_argument("--shots", required=True, help="where the screenshots go")
    parser.add_argument("--record", help="a test run records the day into this script")
    parser.add_argument("--reload", help="a test run records the reload session into this script")
    parser.add_argument("--system", help="a normal run (recording into the planning) and its recording copied here")
    parser.add_argument("--expect", help="write the outside reading of the saved planning here")
    parser.add_argument("--widgets", help="write the main window's widget dump at the day's end here")
    parser.add_argument("--keep", action="store_true", help="keep the application folder")
    args = parser.parse_args()
    os.makedirs(args.shots, exist_ok=True)
    home = desk.Home(os.path.abspath(args.built))
    # A test run records into the script it names; a normal run records into the planning.
    recording = lambda script: ["-test", "-record", "-noconfig", "-script", os.path.abspath(script)] if script else []
    try:
        with desk.XServer() as x:
            code, seconds = session(args, x, home, recording(None if args.system else args.record), "day", Day.plan,
                                    **({"MORVANTA_WIDGET_DUMP": os.path.abspath(args.widgets)} if args.widgets else {}))
            plannings = home.plannings()
            if code != 0 or len(plannings) != 1:
                raise RuntimeError("the day ended with %d and %d plannings" % (code, len(plannings)))
            reading = desk.read_planning(plannings[0])
            if args.expect:
                with open(args.expect, "w") as f:
                    json.dump(dict(reading, recorded_seconds=round(seconds, 1), saved_at=desk.saved_at(plannings[0])), f, indent=1, sort_keys=True)
            if args.system:
                logs = glob.glob(os.path.join(os.path.dirname(plannings[0]), "system", "*"))
                if len(logs) != 1:
                    raise RuntimeError("the planning holds %d recordings" % len(logs))
                shutil.copyfile(logs[0], args.system)
            if args.reload:
                desk.damage(plannings[0], home)
                session(args, x, home, recording(args.reload), "reload", lambda day: day.reload(True))
    finally:
        print("application folder:", home.path)
        if not args.keep:
            home.remove()


if __name__ == "__main__":
    main()
