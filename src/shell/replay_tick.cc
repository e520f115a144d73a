#include "shell/replay_tick.h"

#include <algorithm>

namespace qarn {

ReplayTick::ReplayTick(Parts parts, int replay_ms, int station_silence_ms, bool send_k7)
    : p_(parts),
      replay_ms_(replay_ms),
      send_k7_(send_k7),
      watch_(station_silence_ms / 1000.0 * kSecond) {}

void ReplayTick::Start() {
  for (SpoolKind kind : {SpoolKind::kK8, SpoolKind::kK7}) {
    Notice(kind).Found(p_.replay.waiting(kind));
  }
  running_ = true;
  Update();
}

void ReplayTick::Stop() {
  running_ = false;
  StopTimer();
}

void ReplayTick::RecordStored(SpoolKind kind, const std::string&) {
  // Every record is stored first: news only while its link is down.
  if (!up_[Index(kind)]) Notice(kind).Stored(p_.replay.waiting(kind));
  Update();
}

void ReplayTick::OnTick() {
  UnstoredRecords& unstored = p_.output.unstored();
  unstored.Tick(&p_.k7.channel());
  p_.k7.CollectAcknowledged();  // delivered files go, and make room for more
  p_.replay.Tick();
  for (SpoolKind kind : {SpoolKind::kK8, SpoolKind::kK7}) {
    Notice(kind).Replayed(p_.replay.waiting(kind), p_.clock.TickMs(), p_.replay.rate(),
                          p_.replay.replayed(kind));
  }
  p_.observer.Held(unstored.size(), unstored.lost());
  if (const auto heard = watch_.Tick(p_.clock.Now(), p_.station.last_receive_time())) {
    p_.observer.StationHeard(*heard);
    if (send_k7_) p_.output.SendServiceFrame(*heard ? kK7StationHeard : kK7StationSilent);
  }
  Update();
}

void ReplayTick::Update() {
  if (!running_) return;
  const bool busy = p_.replay.waiting(SpoolKind::kK8) > 0 ||
                    p_.replay.waiting(SpoolKind::kK7) > 0 || !p_.output.unstored().empty();
  const TDateTime silent_from = p_.station.last_receive_time() + watch_.silence();
  const TDateTime now = p_.clock.Now();
  const bool heard_now = !(now > silent_from);
  int delay_ms = replay_ms_;
  if (!busy && heard_now == watch_.heard()) {
    if (!heard_now) {
      StopTimer();  // silent, and stays so until a packet comes
      return;
    }
    // One millisecond past the moment; a clock set back or forward is looked at again then.
    const double left_ms = (silent_from - now) / kSecond * 1000;
    delay_ms = static_cast<int>(std::clamp(left_ms + 1, 1.0, double(replay_ms_) * 20));
  }
  const uint32_t due = p_.clock.TickMs() + static_cast<uint32_t>(delay_ms);
  // An armed tick that comes no later than wanted stays.
  if (timer_ && static_cast<int32_t>(due_tick_ - due) <= 0) return;
  StopTimer();
  due_tick_ = due;
  timer_ = p_.loop.StartTimer(delay_ms, [this] {
    StopTimer();  // one shot: the tick arms the next one
    OnTick();
  });
}

void ReplayTick::StopTimer() {
  if (timer_) p_.loop.StopTimer(timer_);
  timer_ = 0;
}

}  // namespace qarn
