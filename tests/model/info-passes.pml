/*
 * The information block's passes (streamer/server/devididi.cpp) checked exhaustively: who frees a
 * replaced block, and when. Each step under m_InfoLock is one atomic block here; a client reading
 * the block it was handed is a step of its own, outside the lock. Thread A sends code 5 and its
 * consumer's callback sends code 5 again from inside the pass (nested two deep); thread B sends
 * code 5 or registers a consumer (a snapshot) at the same time.
 *
 * Checked: no pass reads a block after its free (assertion in ClientReads); every block but the
 * stream's own is freed once the passes are over, and none twice (no leak, no double free).
 *
 * -DBROKEN_FREE_ON_REPLACE: ReplaceStreamInfo frees the old block at once, as if no pass held it.
 * -DBROKEN_END_ALONE: EndInfoPass frees its block when it is no longer the stream's, without
 * asking whether another pass still holds it.
 */
#define BLOCKS 5

byte cur;                 /* m_pStreamInfo: a block number, 0 = none */
byte next = 1;            /* the next block NEW hands out */
byte held[4];             /* DV_INFO_PASS.pHeld of each pass listed in m_pInfoPasses, 0 = unlisted */
bit freed[BLOCKS + 1];
byte done;

/* IsInfoHeld, over the listed passes. */
inline IsInfoHeld(b, yes) {
    yes = (held[0] == b || held[1] == b || held[2] == b || held[3] == b)
}

inline Free(b) {
    assert(!freed[b]);
    freed[b] = 1
}

/* ReplaceStreamInfo: a new copy, the swap, the pass listed; the old block goes unless held. */
inline ReplaceStreamInfo(pass, old, yes) {
    atomic {
        old = cur;
        cur = next;
        next++;
        held[pass] = cur;
        IsInfoHeld(old, yes);
#ifdef BROKEN_FREE_ON_REPLACE
        yes = 0;
#endif
        if
        :: old != 0 && !yes -> Free(old)
        :: else -> skip
        fi
    }
}

/* SnapshotStreamInfo: the stream's block as it stands, the pass listed. */
inline SnapshotStreamInfo(pass) {
    atomic { held[pass] = cur }
}

/* EndInfoPass: unlisted; its block goes if it is not the stream's and no other pass holds it. */
inline EndInfoPass(pass, b, yes) {
    atomic {
        b = held[pass];
        held[pass] = 0;
        IsInfoHeld(b, yes);
#ifdef BROKEN_END_ALONE
        yes = 0;
#endif
        if
        :: b != 0 && b != cur && !yes -> Free(b)
        :: else -> skip
        fi
    }
}

/* NotifyConsumer / DoNotifyProvider: a client reads the block it was handed. */
inline ClientReads(pass) {
    assert(held[pass] == 0 || !freed[held[pass]])
}

/* DoNotifyConsumers for code 5 on thread A; the first consumer's callback sends code 5 again. */
proctype ThreadA() {
    byte old, b; bit yes;
    ReplaceStreamInfo(0, old, yes);
    ClientReads(0);
    ReplaceStreamInfo(1, old, yes);
    ClientReads(1);
    EndInfoPass(1, b, yes);
    ClientReads(0);
    EndInfoPass(0, b, yes);
    done++
}

/* Thread B: code 5 from another processor, or RegisterConsumer's snapshot for its new consumer. */
proctype ThreadB() {
    byte old, b; bit yes;
    if
    :: ReplaceStreamInfo(2, old, yes)
    :: SnapshotStreamInfo(2)
    fi;
    ClientReads(2);
    ClientReads(2);
    EndInfoPass(2, b, yes);
    done++
}

init {
    /* The block the provider registered with. */
    cur = next; next++;
    atomic { run ThreadA(); run ThreadB() }
    (done == 2);
    byte i;
    for (i : 1 .. next - 1) {
        assert(i == cur || freed[i]);
        assert(i != cur || !freed[i])
    }
}
