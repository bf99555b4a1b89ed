/*
 * The stream rundown (streamer/server/rundown.cpp) against the unload, checked exhaustively.
 * Two streams, two lanes each (lane 0 the provider's, lane 1 shared by every other call). Every
 * inline and process is named after the driver function it models.
 *
 * Checked: no call touches a stream or the table after their free (assertions in Touch); no entry
 * succeeds on a lane after its close (assertion in LaneEnter); the unload's waits all end and it
 * finishes once the callers are done (no invalid end state: a closer left asleep is one); no
 * deadlock between the rundown and the stream lock.
 *
 * -DBROKEN_CLOSE_AFTER_COUNT: the close reads the counts before it shuts the lanes, the mistake of
 * raising the closing flag after reading the count. Spin must find a touch after the free.
 * -DBROKEN_CLOSE_BY_STORE: the close reads the lane and stores it back without OPEN (a plain
 * release store instead of a locked operation): an enter between the two is lost.
 * -DBROKEN_THREAD_LEFT: the provider's leave does not clear its thread's name, so a later report
 * from that thread outside the call skips the hold.
 */
#define STREAMS 2
#define LANES 2
#define OPEN 1
#define HOLDER 2
#define NESTED 9

byte lane[STREAMS * LANES];     /* OPEN | holders * 2 */
byte shut[STREAMS * LANES];     /* ghost: the lane's close has happened */
byte holderPid[STREAMS];        /* lane 0's thread name, 0 = none */
bit drained[STREAMS];           /* the closer's synchronization event */
bit freed;                      /* the table (and every stream in it) */
bit streamLock[STREAMS];        /* m_Lock */
bit unloaded;

#define W(s, l) ((s) * LANES + (l))

inline Touch(s) {
    assert(!freed)
}

/* LaneEnter: one compare-exchange, +2 only while OPEN. */
inline LaneEnter(s, l, ok) {
    atomic {
        if
        :: (lane[W(s, l)] & OPEN) -> assert(!shut[W(s, l)]); lane[W(s, l)] = lane[W(s, l)] + HOLDER; ok = 1
        :: else -> ok = 0
        fi
    }
}

/* DvRundownLeave: one decrement; the last holder of a closed lane sets the closer's event. */
inline DvRundownLeave(s, l) {
    if
    :: l == NESTED -> skip
    :: else ->
        if
        :: l == 0 -> holderPid[s] = 0
        :: else -> skip
        fi;
        atomic {
            lane[W(s, l)] = lane[W(s, l)] - HOLDER;
            if
            :: lane[W(s, l)] == 0 -> drained[s] = 1
            :: else -> skip
            fi
        }
    fi
}

inline DvRundownEnter(s, l, ok) {
    l = 1;
    LaneEnter(s, l, ok)
}

inline DvRundownEnterProvider(s, l, ok) {
    l = 0;
    LaneEnter(s, l, ok);
    if
    :: ok -> holderPid[s] = _pid
    :: else -> skip
    fi
}

/* DvRundownEnterReport: nested inside this thread's own provider call, else a shared lane. */
inline DvRundownEnterReport(s, l, ok) {
    if
    :: holderPid[s] == _pid -> l = NESTED; ok = 1
    :: else -> DvRundownEnter(s, l, ok)
    fi
}

inline KfAcquireSpinLock(s) { atomic { streamLock[s] == 0 -> streamLock[s] = 1 } }
inline KfReleaseSpinLock(s) { streamLock[s] = 0 }

/* QvConsumerInfo::OnDataProcessed -> DeVididi::DataProcessed */
inline OnDataProcessed(s) {
    DvRundownEnterReport(s, l2, ok2);
    if
    :: ok2 -> Touch(s); DvRundownLeave(s, l2)
    :: else -> skip
    fi
}

/* QvProviderInfo::OnProvideData: ProvideData's walk (a report from a new-data callback), then the
 * data-complete callback; then, from the same thread outside the call, a report. */
proctype OnProvideData(byte s) {
    byte l, l2; bit ok, ok2;
    DvRundownEnterProvider(s, l, ok);
    if
    :: ok ->
        Touch(s);
        KfAcquireSpinLock(s);
        OnDataProcessed(s);          /* the walk's new-data callback reports */
        KfReleaseSpinLock(s);
        Touch(s);                    /* ProvideDataComplete */
#ifdef BROKEN_THREAD_LEFT
        lane[W(s, 0)] = lane[W(s, 0)] - HOLDER;
        if :: lane[W(s, 0)] == 0 -> drained[s] = 1 :: else -> skip fi
#else
        DvRundownLeave(s, l)
#endif
    :: else -> skip
    fi;
    OnDataProcessed(s)
}

/* A report from another processor's thread. */
proctype ReportFromAnotherThread(byte s) {
    byte l2; bit ok2;
    OnDataProcessed(s)
}

/* QvConsumerInfo::OnNotify -> DeVididi::NotifyProvider (and QvProviderInfo::OnNotify alike). */
proctype OnNotify(byte s) {
    byte l; bit ok;
    DvRundownEnter(s, l, ok);
    if
    :: ok -> Touch(s); DvRundownLeave(s, l)
    :: else -> skip
    fi
}

/* STREAMER_Dispatch -> RegisterProvider -> DeVididi::RegisterProvider: the stream lock inside. */
proctype RegisterProvider(byte s) {
    byte l; bit ok;
    DvRundownEnter(s, l, ok);
    if
    :: ok -> KfAcquireSpinLock(s); Touch(s); KfReleaseSpinLock(s); DvRundownLeave(s, l)
    :: else -> skip
    fi
}

/* STREAMER_Dispatch, STREAMER_IOCTL_PRINT_STATUS -> PrintStream -> DeVididi::ShowStream, stream by stream. */
proctype PrintStatus() {
    byte l, s; bit ok;
    for (s : 0 .. STREAMS - 1) {
        DvRundownEnter(s, l, ok);
        if
        :: ok -> Touch(s); DvRundownLeave(s, l)
        :: else -> break
        fi
    }
}

/* ShutLanes: a locked and-not of OPEN on every lane of a stream. */
inline ShutLanes(s) {
    for (j : 0 .. LANES - 1) {
#ifdef BROKEN_CLOSE_BY_STORE
        seen = lane[W(s, j)];
        atomic { lane[W(s, j)] = seen & ~OPEN; shut[W(s, j)] = 1 }
#else
        atomic { lane[W(s, j)] = lane[W(s, j)] & ~OPEN; shut[W(s, j)] = 1 }
#endif
    }
}

/* WaitDrained: no holder on any lane; else sleep on the event (a wake is only a hint). */
inline WaitDrained(s) {
    do
    :: (lane[W(s, 0)] / HOLDER == 0 && lane[W(s, 1)] / HOLDER == 0) -> break
    :: else -> atomic { drained[s] == 1 -> drained[s] = 0 }
    od
}

/* STREAMER_Unload -> DvRundownClose, then the table's free. */
proctype STREAMER_Unload() {
    byte s, j, seen;
#ifdef BROKEN_CLOSE_AFTER_COUNT
    for (s : 0 .. STREAMS - 1) { WaitDrained(s) }
    for (s : 0 .. STREAMS - 1) { ShutLanes(s) }
#else
    for (s : 0 .. STREAMS - 1) { ShutLanes(s) }
    for (s : 0 .. STREAMS - 1) { WaitDrained(s) }
#endif
    freed = 1;
    unloaded = 1
}

init {
    byte i;
    atomic {
        for (i : 0 .. STREAMS * LANES - 1) { lane[i] = OPEN }   /* DvRundownOpen */
        run OnProvideData(0);
        run ReportFromAnotherThread(0);
        run OnNotify(1);
        run RegisterProvider(0);
        run PrintStatus();
        run STREAMER_Unload()
    }
}
