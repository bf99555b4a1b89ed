/*
 * The stream rundown (streamer/server/rundown.cpp) against the unload, checked exhaustively, with
 * every path into the close: from outside (the removal), from a provider's callback inside its own
 * call, and from the ORB query's completion routine inside its hold on a shared lane. Two streams
 * (0 a provider's, 1 the notification stream the ORB query holds), three lanes each (lane 0 the
 * provider's, lanes 1 and 2 shared, each owned by one thread at a time). A process is a thread; its
 * name on a lane is _pid + 1. Every inline and process is named after the driver function it models.
 *
 * Checked: no call touches a stream or the table after their free (assertions in Touch); no fresh
 * entry succeeds on a lane after its close (assertion in LaneEnter); the table is freed once; an
 * unload reached from inside a hold refuses instead of waiting for itself, and the waits of the one
 * from outside all end once the callers are done (no invalid end state: a closer left asleep, or one
 * waiting for its own hold, is one); no deadlock between the rundown and the stream lock, which the
 * provider's walk takes inside its hold.
 *
 * -DBROKEN_CLOSE_AFTER_COUNT: the close reads the counts before it shuts the lanes, the mistake of
 * raising the closing flag after reading the count. Spin must find a touch after the free.
 * -DBROKEN_CLOSE_BY_STORE: the close reads the lane and stores it back without OPEN (a plain
 * release store instead of a locked operation): an enter between the two is lost.
 * -DBROKEN_THREAD_LEFT: the last leave does not clear the owner's name, so a later report from that
 * thread outside the call skips the hold.
 * -DBROKEN_HELD_ON_LANE0_ONLY: the unload asks only the provider's lane whether its thread holds the
 * stream: from the ORB query's completion routine it waits for itself.
 * -DBROKEN_NESTED_LEAVE_CLEARS: every leave clears the owner's name, the nested one too: after a
 * provider call nested in its own has left, an unload from the outer call waits for itself.
 */
#define STREAMS 2
#define LANES 3
#define OPEN 1
#define HOLDER 2
#define NESTED 9
#define NONE 255
#define ME (_pid + 1)

byte lane[STREAMS * LANES];     /* DV_LANE.nWord: OPEN | holds * 2 */
byte owner[STREAMS * LANES];    /* DV_LANE.pOwner: the owner's name, 0 = none */
bit shut[STREAMS * LANES];      /* ghost: the lane's close has happened */
byte hint[STREAMS];             /* DV_RUNDOWN.pProviderHint */
bit drained[STREAMS];           /* DV_RUNDOWN.Drained, the closer's synchronization event */
bit freed;                      /* the table (and every stream in it) */
bit streamLock[STREAMS];        /* m_Lock */

#define W(s, l) ((s) * LANES + (l))

inline Touch(s) {
    assert(!freed)
}

/* LaneEnter: one compare-exchange from OPEN alone (the lane free) to OPEN + 2, then the owner's
 * name; else, by the owner only, +2 while OPEN (LaneRead and LaneExchange in a loop: the count
 * cannot change under the owner, only OPEN can go, so the loop is one step here). */
inline LaneEnter(s, l, ok, closed) {
    atomic {
        if
        :: lane[W(s, l)] == OPEN -> assert(!shut[W(s, l)]); lane[W(s, l)] = OPEN + HOLDER; ok = 1
        :: else -> ok = 0
        fi
    };
    if
    :: ok -> owner[W(s, l)] = ME
    :: else ->
        if
        :: owner[W(s, l)] == ME ->
            atomic {
                if
                :: (lane[W(s, l)] & OPEN) -> lane[W(s, l)] = lane[W(s, l)] + HOLDER; ok = 1
                :: else -> closed = 1
                fi
            }
        :: else ->
            if
            :: (lane[W(s, l)] & OPEN) == 0 -> closed = 1
            :: else -> skip
            fi
        fi
    fi
}

/* EnterShared: the thread's own first lane on, the first it owns or finds free; all owned by
 * others: round again. */
inline EnterShared(s, l, ok, closed) {
    ok = 0;
    closed = 0;
    do
    :: i = 0;
       do
       :: i < LANES - 1 && !ok && !closed ->
           l = 1 + (_pid + i) % (LANES - 1);
           LaneEnter(s, l, ok, closed);
           i++
       :: else -> break
       od;
       if
       :: ok || closed -> break
       :: else -> skip
       fi
    od
}

/* DvRundownLeave: the owner's last hold clears its name, then one decrement; the holder that takes
 * a closed lane to 0 sets the closer's event. */
inline DvRundownLeave(s, l) {
    if
    :: l == NESTED -> skip
    :: else ->
#if defined(BROKEN_NESTED_LEAVE_CLEARS)
        owner[W(s, l)] = 0;
#elif !defined(BROKEN_THREAD_LEFT)
        if
        :: lane[W(s, l)] / HOLDER == 1 -> owner[W(s, l)] = 0
        :: else -> skip
        fi;
#endif
        atomic {
            lane[W(s, l)] = lane[W(s, l)] - HOLDER;
            if
            :: lane[W(s, l)] == 0 -> drained[s] = 1
            :: else -> skip
            fi
        }
    fi
}

/* DvRundownEnter: any call but the provider's data call. */
inline DvRundownEnter(s, l, ok) {
    EnterShared(s, l, ok, closed)
}

/* DvRundownEnterProvider: lane 0; owned by another thread's provider call: a shared lane. */
inline DvRundownEnterProvider(s, l, ok) {
    l = 0;
    closed = 0;
    LaneEnter(s, l, ok, closed);
    if
    :: !ok && !closed -> EnterShared(s, l, ok, closed)
    :: else -> skip
    fi;
    if
    :: ok && l == 0 -> hint[s] = ME
    :: else -> skip
    fi
}

/* DvRundownEnterReport: inside this thread's own provider call (the hint, then the owner's name on
 * lane 0): covered by that hold; else a shared lane. */
inline DvRundownEnterReport(s, l, ok) {
    if
    :: hint[s] == ME && owner[W(s, 0)] == ME -> l = NESTED; ok = 1
    :: else -> DvRundownEnter(s, l, ok)
    fi
}

inline KfAcquireSpinLock(s) { atomic { streamLock[s] == 0 -> streamLock[s] = 1 } }
inline KfReleaseSpinLock(s) { streamLock[s] = 0 }

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
    :: (lane[W(s, 0)] / HOLDER == 0 && lane[W(s, 1)] / HOLDER == 0 && lane[W(s, 2)] / HOLDER == 0) -> break
    :: else -> atomic { drained[s] == 1 -> drained[s] = 0 }
    od
}

/* IsHeldByCaller: the caller's name on any lane of the stream. */
inline IsHeldByCaller(s, held) {
    for (j : 0 .. LANES - 1) {
#ifdef BROKEN_HELD_ON_LANE0_ONLY
        if :: j == 0 && owner[W(s, j)] == ME -> held = s :: else -> skip fi
#else
        if :: owner[W(s, j)] == ME -> held = s :: else -> skip fi
#endif
    }
}

/* STREAMER_Unload -> DvRundownClose, then the table's free; held: refused, nothing unloaded. */
inline STREAMER_Unload() {
    held = NONE;
#ifndef BROKEN_CLOSE_AFTER_COUNT
    for (k : 0 .. STREAMS - 1) { ShutLanes(k) }
#endif
    for (k : 0 .. STREAMS - 1) { IsHeldByCaller(k, held) }
    if
    :: held == NONE ->
        for (k : 0 .. STREAMS - 1) { WaitDrained(k) }
    :: else -> skip
    fi;
#ifdef BROKEN_CLOSE_AFTER_COUNT
    for (k : 0 .. STREAMS - 1) { ShutLanes(k) }
#endif
    if
    :: held == NONE -> atomic { assert(!freed); freed = 1 }
    :: else -> skip
    fi
}

/* QvConsumerInfo::OnDataProcessed -> DeVididi::DataProcessed */
inline OnDataProcessed(s) {
    DvRundownEnterReport(s, l2, ok2);
    if
    :: ok2 -> Touch(s); DvRundownLeave(s, l2)
    :: else -> skip
    fi
}

/* QvProviderInfo::OnProvideData: ProvideData's walk (a report from a new-data callback), then the
 * data-complete callback, which may call OnProvideData again (nested) and may remove the device
 * (the unload from inside); then, from the same thread outside the call, a report. */
proctype OnProvideData(byte s) {
    byte l, l2, l3, i, j, k, held, seen; bit ok, ok2, ok3, closed;
    DvRundownEnterProvider(s, l, ok);
    if
    :: ok ->
        Touch(s);
        KfAcquireSpinLock(s);
        OnDataProcessed(s);          /* the walk's new-data callback reports */
        KfReleaseSpinLock(s);
        /* ProvideDataComplete */
        DvRundownEnterProvider(s, l3, ok3);
        if
        :: ok3 -> Touch(s); DvRundownLeave(s, l3)
        :: else -> skip
        fi;
        Touch(s);
        STREAMER_Unload();
        DvRundownLeave(s, l)
    :: else -> skip
    fi;
    OnDataProcessed(s)
}

/* STREAMER_Dispatch, STREAMER_IOCTL_IS_ORBDRV_ACTIVE: stream 1 held across IofCompleteRequest,
 * whose completion routine removes the device; then NotifyConsumers, whose consumer answers with
 * QvConsumerInfo::OnNotify on the same thread (nested on its lane). */
proctype OrbQuery() {
    byte l, l2, i, j, k, held, seen; bit ok, ok2, closed;
    DvRundownEnter(1, l, ok);
    if
    :: ok ->
        STREAMER_Unload();           /* IofCompleteRequest -> the completion routine */
        Touch(1);
        DvRundownEnter(1, l2, ok2);
        if
        :: ok2 -> Touch(1); DvRundownLeave(1, l2)
        :: else -> skip
        fi;
        DvRundownLeave(1, l)
    :: else -> skip
    fi
}

/* A report from another processor's thread. */
proctype ReportFromAnotherThread(byte s) {
    byte l2, i; bit ok2, closed;
    OnDataProcessed(s)
}

/* STREAMER_Pnp, IRP_MN_REMOVE_DEVICE from outside any call. */
proctype Removal() {
    byte j, k, held, seen;
    STREAMER_Unload()
}

init {
    byte i;
    atomic {
        for (i : 0 .. STREAMS * LANES - 1) { lane[i] = OPEN }   /* DvRundownOpen */
        run OnProvideData(0);
        run ReportFromAnotherThread(0);
        run OrbQuery();
        run Removal()
    }
}
