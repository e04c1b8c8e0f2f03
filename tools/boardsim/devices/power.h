// The board's power supply and the one power cut a boardsim run may have.
//
// Every durable event (flash, NVRAM, /user; see DurableKind) asks for power
// before it takes effect. The triggers armed from the fault entries count:
//   power_cut_after=BYTES[@WHERE]  the bytes the events carry, at WHERE. The
//       power holds for exactly BYTES bytes: the event that would store byte
//       BYTES + 1 stores what fits and the power fails there. Events without
//       bytes (erases, renames, ...) are not counted and go through, even
//       when the budget is spent; the next byte then fails.
//   power_cut_at=KIND:N[@WHERE]  the events of KIND at WHERE; the power fails
//       at the Nth, which does not take effect (none of its bytes stored).
//       A user-write event is counted at its first write(2).
// The first trigger to fire cuts the power; the others are then spent too,
// so a run has at most one cut. From the cut until power_restore every
// durable event fails (the callers return EIO).
//
// All calls may come from several threads (the device and /user file
// systems); the state is guarded by its own lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tools/boardsim/boarddir/board_config.h"
#include "tools/boardsim/boarddir/event_log.h"

struct Power {
    std::mutex lock;
    std::condition_variable settled;
    bool off = false;
    bool settling = false;                     // power_fail is stopping the board
    std::uint64_t outages = 0;                 // cuts so far
    std::vector<PowerCutTrigger> triggers;     // armed, until the cut
    std::vector<std::uint64_t> counted;        // per trigger: bytes or events so far
    std::string cause;                         // the trigger that fired
    const EventLog* log = nullptr;             // not owned; may be null
    // Called once, at the cut, after the cut is logged (it stops the board).
    void (*on_cut)(void* ctx) = nullptr;
    void* on_cut_ctx = nullptr;
};

// One durable event as it asks for power.
struct DurableEvent {
    DurableKind kind;
    PowerPlace place;
    PowerPlace other;              // a rename's new name; area "any" otherwise
    std::uint64_t bytes = 0;       // bytes the event would store
    bool first = true;             // false: a further write(2) of a user-write
};

// Arms the triggers of a run (replacing any earlier ones) with the power on.
void power_arm(Power& power, const std::vector<PowerCutTrigger>& triggers);

// Asks for power for the event. Returns -1 when the power is off (the event
// fails with EIO), else the number of its bytes that may be stored: all of
// them, unless the power fails within this event; then *fails is set, the
// caller stores the granted bytes (0 for events without bytes: the event
// does not happen) and calls power_fail.
long power_draw(Power& power, const DurableEvent& event, bool* fails);

// Records the cut in the event log ({"kind":"power-cut","cause":..,
// "event":KIND<fields>}; fields start with a comma and say where the event
// stopped) and calls on_cut.
void power_fail(Power& power, const DurableEvent& event, const std::string& fields);

// Power back on for the next boot, once a power_fail under way has returned
// (its on_cut has stopped the board). Spent triggers stay spent.
void power_restore(Power& power);

bool power_is_off(Power& power);

// The number of cuts so far: an event begun before a cut (a user-write still
// open when the board died) compares it to tell that it ended there.
std::uint64_t power_outages(Power& power);
