// The pacing of an exchange with the DS2480B: how many bytes of a script
// may go out before answers show the chip's progress, so that its
// one-byte buffer never overflows, and the reading of the answers.
#include "onewire/ds2480b/ds2480b_link.hpp"

#include <algorithm>
#include <vector>

#include "onewire/errors.hpp"

namespace onewire::ds2480b {

using namespace std::chrono_literals;

namespace {

// The chip may answer a reset once it has sampled the presence pulse and
// still be busy with the rest of the reset (its high time); a byte's
// answer may leave before the last slot's recovery. An answer therefore
// proves its byte done only this long after it was sent.
constexpr rtl::Duration kResetAnswerLead = 600us;

// Whether byte `x` of `work` may go out now as the `p`-th byte (from 1)
// of a write, when every byte before `proven` is known done: it must not
// find the chip working on one byte and holding another, so byte x-2
// must be done when x has arrived.
//
// What the host knows: bytes reach the chip in order, at least a
// character time `c` apart, however the bridge delays them; so x arrives
// at least (x-k)c after any byte k, and at least pc after this write. The
// chip works on bytes in order, each for at most its work time, and the
// answer that proved the bytes before `proven` done came at least `lead`
// before they were (a reset answers before its end). Byte x-2 is then
// done in time if, for every unproven k up to it, the work from k to x-2
// fits in the (x-k) characters after k arrived, and all unproven work
// with the lead fits in the p+1 characters since the proof.
bool may_send(const std::vector<rtl::Duration>& work, std::size_t proven, rtl::Duration lead, std::size_t x,
              std::size_t p, rtl::Duration c) {
  if (x < proven + 1) return true;
  rtl::Duration sum = lead;
  if (x >= proven + 2) {
    sum = rtl::Duration(0);
    for (std::size_t k = x - 2 + 1; k-- > proven;) {
      sum += work[k];
      if (sum > static_cast<std::int64_t>(x - k) * c) return false;
    }
    sum += lead;
  }
  return sum <= static_cast<std::int64_t>(p + 1) * c;
}

}  // namespace

// Streams as much of the script as the chip can take in (all of it at
// 9600, where a character outlasts every byte's work), then sends more
// each time answers show how far the chip has come. Bytes of the exchange
// before that no answer has yet shown done count ahead of this one.
int Ds2480bLink::exchange(const Script& s, std::uint8_t* in) {
  std::vector<rtl::Duration> work = tail_work_;
  const std::size_t base = work.size();
  work.insert(work.end(), s.work.begin(), s.work.end());
  const std::size_t n = work.size();
  std::vector<std::size_t> owner;  // the byte each answer belongs to
  for (std::size_t i = 0; i < s.bytes.size(); ++i)
    if (s.answers[i]) owner.push_back(base + i);
  const std::size_t n_in = owner.size();
  const rtl::Duration c = serial::char_time(port_->baud());
  std::size_t sent = base;
  std::size_t got = 0;
  std::size_t proven = 0;
  rtl::Duration lead = tail_lead_;
  tail_work_.clear();
  tail_lead_ = rtl::Duration(0);
  while (sent < n || got < n_in) {
    std::size_t k = 0;
    while (sent + k < n && may_send(work, proven, lead, sent + k, k + 1, c)) ++k;
    if (k == 0 && (got == n_in || owner[got] >= sent)) {
      // No answer is on its way that could show progress: the chip's
      // work is over once its longest time has passed.
      rtl::Duration rest = lead;
      for (std::size_t i = proven; i < sent; ++i) rest += work[i];
      rtl::GetClock().sleep_for(rest);
      proven = sent;
      lead = rtl::Duration(0);
      continue;
    }
    if (k > 0) {
      if (const int r = port_->write(s.bytes.data() + (sent - base), k); r < 0) return fail(r);
      sent += k;
    }
    // Nothing sent yet that answers: nothing to wait for.
    if (got == n_in || owner[got] >= sent) continue;
    rtl::Duration pending{0};
    for (std::size_t i = proven; i < sent; ++i) pending += work[i];
    const rtl::Duration budget = options_.reply_timeout + pending + static_cast<std::int64_t>(sent - proven + 2) * c;
    // The rest at once when everything is out, else whatever has come.
    const bool all_out = sent == n;
    const int r = serial::wait_with_deadline(budget, [&](rtl::Duration slice) -> int {
      const int g = port_->read(in + got, n_in - got, slice);
      if (g < 0) return g;
      got += static_cast<std::size_t>(g);
      return got == n_in || (!all_out && g > 0) ? 1 : 0;
    });
    if (r < 0) return fail(r);
    if (r == 0) return fail(kErrAdapterNoResponse);
    const std::size_t last = owner[got - 1];
    proven = last + 1;
    lead = work[last] >= reset_work() ? kResetAnswerLead : slot_work();
  }
  tail_work_.assign(work.begin() + static_cast<std::ptrdiff_t>(proven), work.end());
  tail_lead_ = lead;
  return 1;
}

std::size_t Ds2480bLink::Script::answer_count() const {
  return static_cast<std::size_t>(std::count(answers.begin(), answers.end(), true));
}

}  // namespace onewire::ds2480b
