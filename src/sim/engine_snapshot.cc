// SPDX-License-Identifier: Apache-2.0
// The watching side of ChangerEngine: the line observer and the snapshot of
// the whole machine, kept apart from the engine core so that displays of the
// machine (the control panel) leave the protocol code alone.
#include "sim/changer_engine.h"
#include "sim/engine_state.h"

namespace vexokrt::sim {

void ChangerEngine::SetLineObserver(LineObserver observer) {
  // The observer is only ever called under the engine lock, so once the lock
  // is ours no call of the old one is in flight.
  platform::MutexLock lock(state_->mutex);
  state_->line_observer = std::move(observer);
}

EngineSnapshot ChangerEngine::Snapshot() const {
  State& s = *state_;
  platform::MutexLock lock(s.mutex);
  s.Advance(s.Now());
  EngineSnapshot snap;
  snap.model = s.traits.model;
  snap.line = s.line;
  snap.mode_a = s.mode_a;
  snap.unplugged = s.unplugged;
  snap.jammed = s.jammed;
  snap.error_number = s.error_number;
  snap.cassette_removed = s.cassette_removed;
  snap.auto_take = s.options.auto_take;
  snap.wire_timing = s.options.wire_timing;
  snap.action = s.action ? s.action->command : 0;
  snap.status = s.Status();
  snap.stock = s.inventory.stock();
  snap.box = s.inventory.box();
  for (int i = 0; i < kDenominationCount; ++i) snap.thresholds[static_cast<std::size_t>(i)] = s.inventory.thresholds(i);
  snap.bill_box_near_full = s.inventory.bill_box_near_full();
  snap.bill_box_full = s.inventory.bill_box_full();
  snap.deposit = s.deposit.View();
  snap.at_outlets = s.at_outlets;
  snap.coin_tray = s.coin_tray;
  snap.bill_outlet = s.bill_outlet;
  snap.bill_entrance = s.bill_entrance;
  snap.pending_faults = s.faults.size();
  snap.time_us = s.Now();
  snap.next_event_us = s.NextEvent();
  return snap;
}

}  // namespace vexokrt::sim
