/* A stand-in for libspnav built twice by the tests: complete, and (FAKE_SPNAV_INCOMPLETE) without
   spnav_remove_events. Every poll returns an event whose period counts the polls since the
   library was loaded, so a test can tell a fresh load from a kept one. */
#include <spnav.h>

static unsigned polls;

int spnav_open(void) { return 0; }
int spnav_close(void) { return 0; }
int spnav_fd(void) { return -1; }

int spnav_poll_event(spnav_event* event)
{
    ++polls;
    if (polls % 2 == 1)
    {
        event->motion.type = SPNAV_EVENT_MOTION;
        event->motion.x = 10; event->motion.y = -20; event->motion.z = 30;
        event->motion.rx = -1; event->motion.ry = 2; event->motion.rz = -3;
        event->motion.period = polls;
    }
    else
    {
        event->button.type = SPNAV_EVENT_BUTTON;
        event->button.press = 1;
        event->button.bnum = 4;
    }
    return event->type;
}

#ifndef FAKE_SPNAV_INCOMPLETE
int spnav_remove_events(int type) { return 0; }
#endif
