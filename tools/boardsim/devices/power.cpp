#include "tools/boardsim/devices/power.h"

namespace {

bool holds(const PowerCutTrigger& t, const DurableEvent& e) {
    return power_place_holds(t.where, e.place) ||
           (e.other.area != PowerPlace::Area::any && power_place_holds(t.where, e.other));
}

}  // namespace

void power_arm(Power& power, const std::vector<PowerCutTrigger>& triggers) {
    std::lock_guard<std::mutex> hold(power.lock);
    power.off = false;
    power.triggers = triggers;
    power.counted.assign(triggers.size(), 0);
    power.cause.clear();
}

long power_draw(Power& power, const DurableEvent& event, bool* fails) {
    std::lock_guard<std::mutex> hold(power.lock);
    *fails = false;
    if (power.off) return -1;
    std::uint64_t grant = event.bytes;
    const PowerCutTrigger* fired = nullptr;
    for (std::size_t i = 0; i < power.triggers.size(); ++i) {
        const PowerCutTrigger& t = power.triggers[i];
        if (!holds(t, event)) continue;
        if (t.bytes) {
            const std::uint64_t left = t.count - power.counted[i];
            if (event.bytes > left && left < grant) {
                grant = left;
                fired = &t;
            }
            power.counted[i] += event.bytes < left ? event.bytes : left;
        } else if (t.kind == event.kind && event.first && ++power.counted[i] == t.count) {
            grant = 0;
            fired = &t;
        }
    }
    if (!fired) return static_cast<long>(grant);
    power.cause = fired->cause;
    power.off = true;
    ++power.outages;
    power.triggers.clear();
    power.counted.clear();
    *fails = true;
    return static_cast<long>(grant);
}

void power_fail(Power& power, const DurableEvent& event, const std::string& fields) {
    std::string cause;
    {
        std::lock_guard<std::mutex> hold(power.lock);
        cause = power.cause;
        power.settling = true;
    }
    if (power.log)
        event_log_write(*power.log, "power-cut",
                        ",\"cause\":" + json_string(cause) + ",\"event\":" +
                            json_string(durable_kind_name(event.kind)) + fields);
    if (power.on_cut) power.on_cut(power.on_cut_ctx);
    {
        std::lock_guard<std::mutex> hold(power.lock);
        power.settling = false;
    }
    power.settled.notify_all();
}

void power_restore(Power& power) {
    std::unique_lock<std::mutex> hold(power.lock);
    power.settled.wait(hold, [&] { return !power.settling; });
    power.off = false;
}

bool power_is_off(Power& power) {
    std::lock_guard<std::mutex> hold(power.lock);
    return power.off;
}

std::uint64_t power_outages(Power& power) {
    std::lock_guard<std::mutex> hold(power.lock);
    return power.outages;
}
