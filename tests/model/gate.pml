/*
 * The stream gate (DeVididi::GateEnter, GateLeave, EnterExclusive, LeaveExclusive in
 * streamer/server/devididi.cpp) checked exhaustively: lock-free readers against a registration that
 * changes the records. The gate word's fields are separate variables here, changed together in one
 * atomic step where the driver changes the word with one locked operation. A registration holds
 * m_Lock (one at a time) and one reader reference, announces itself (WAITING), waits until it is
 * the only reader and makes its reference the EXCLUSIVE bit. Reader A (a notification) makes a
 * client callback that enters the gate again (nested, on the same thread); reader B is a report
 * from another processor.
 *
 * A reader that meets EXCLUSIVE or WAITING steps back (its reference given back) and waits: for an
 * exclusive section to end, for a waiting registration only a bounded while (the patience loop).
 * The bounded while is a choice here: the reader may go in at any time while WAITING is still set.
 *
 * Checked: no reader reads while a change runs, and no change starts while a reader reads
 * (assertions in Read and Change); nobody waits for ever (no invalid end state: a nested reader
 * waiting for a registration that waits for its outer reader is one); the gate is idle at the end.
 *
 * -DBROKEN_NO_PATIENCE: a reader waits for a waiting registration for as long as it waits: the
 * nested reader and the registration wait for each other.
 * -DBROKEN_RETREAT_KEEPS: a reader that meets a change does not give its reference back.
 * -DBROKEN_EXCLUSIVE_EARLY: the registration takes EXCLUSIVE without waiting for the readers.
 */
#define PATIENCE 1

byte readers;          /* GATE_READERS: reader references */
bit exclusive;         /* GATE_EXCLUSIVE */
bit waiting;           /* GATE_WAITING */
byte reading;          /* ghost: readers inside their read */
bit changing;          /* ghost: a change is running */

/* DeVididi::GateEnter */
inline GateEnter(patience, ex, wt) {
    patience = PATIENCE;
    do
    :: atomic { readers++; ex = exclusive; wt = waiting };
       if
       :: !ex && (!wt || patience == 0) -> break
       :: else ->
#ifndef BROKEN_RETREAT_KEEPS
           atomic { readers-- };
#endif
           /* The pause loop: an exclusive section is waited out, a waiting one only a while. */
#ifdef BROKEN_NO_PATIENCE
           atomic { !exclusive && !waiting -> skip }
#else
           if
           :: atomic { !exclusive && !waiting -> skip }
           :: atomic { !exclusive && waiting -> patience = 0 }
           fi
#endif
       fi
    od
}

/* DeVididi::GateLeave */
inline GateLeave() {
    atomic { readers-- }
}

inline Read() {
    atomic { assert(!changing); reading++ };
    reading--
}

/* DeVididi::EnterExclusive: WAITING, then the compare-exchange once it is the only reader. */
inline EnterExclusive() {
    atomic { waiting = 1 };
#ifdef BROKEN_EXCLUSIVE_EARLY
    atomic { !exclusive -> readers--; exclusive = 1; waiting = 0 }
#else
    atomic { readers == 1 && !exclusive -> readers--; exclusive = 1; waiting = 0 }
#endif
}

/* DeVididi::LeaveExclusive: back to one reader reference. */
inline LeaveExclusive() {
    atomic { readers++; exclusive = 0 }
}

inline Change() {
    atomic { assert(reading == 0); changing = 1 };
    changing = 0
}

/* RegisterConsumer (and every registration): under m_Lock, a reader reference, the exclusive change. */
proctype Registration() {
    byte patience; bit ex, wt;
    GateEnter(patience, ex, wt);
    EnterExclusive();
    Change();
    LeaveExclusive();
    GateLeave()
}

/* NotifyConsumers: a reader whose consumer's callback calls OnNotify, a reader nested on its thread. */
proctype NotifyConsumers() {
    byte patience; bit ex, wt;
    GateEnter(patience, ex, wt);
    Read();
    GateEnter(patience, ex, wt);   /* NotifyProvider from the callback */
    Read();
    GateLeave();
    GateLeave()
}

/* DataProcessed from another processor's thread. */
proctype DataProcessed() {
    byte patience; bit ex, wt;
    GateEnter(patience, ex, wt);
    Read();
    GateLeave()
}

init {
    atomic {
        run Registration();
        run NotifyConsumers();
        run DataProcessed()
    };
    (_nr_pr == 1);
    assert(readers == 0 && !exclusive && !waiting)   /* DeVididi::IsGateIdle */
}
