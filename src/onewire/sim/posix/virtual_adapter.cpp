// The virtual adapter on a POSIX pseudo-terminal. The master side is in
// packet mode (TIOCPKT), which tells us when the host flushes what it
// wrote. A real adapter loses its power when the port is closed, that is
// when the last program that has it open closes it; other programs may
// open and close it meanwhile (`stty -F`, a second program turned away
// because the port is busy) without touching it. The master reports a
// hang-up exactly then, while no one has the slave side open: so we keep
// no descriptor of our own on it, read the master only while a host has
// it (a hung-up master reports the hang-up without end), and learn of a
// host opening it from inotify.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "onewire/errors.hpp"
#include "onewire/sim/answer_schedule.hpp"
#include "onewire/sim/virtual_adapter.hpp"

namespace onewire::sim {

namespace {

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool is_symlink(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool exists_no_follow(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// A real adapter answers however busy the host computer is, and host
// programs time out on a silent one (DigiTemp after a second): on a loaded
// machine an ordinary thread can miss that. The thread sleeps between
// answers, so the lowest real-time priority costs the machine little.
// Without the privilege for it the thread stays as it was.
void answer_before_ordinary_threads() {
  sched_param param{};
  param.sched_priority = sched_get_priority_min(SCHED_FIFO);
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

}  // namespace

struct VirtualAdapter::Impl {
  Impl(std::shared_ptr<SimBus> b, VirtualAdapterOptions o) : bus(std::move(b)), options(std::move(o)) {}

  std::shared_ptr<SimBus> bus;
  VirtualAdapterOptions options;
  std::unique_ptr<AdapterEmulator> emulator;
  std::string path;
  bool linked = false;
  int master = -1;
  int watch = -1;
  int wake = -1;
  std::thread thread;
  std::atomic<bool> stopping{false};
  rtl::RealClock real_clock;
  // The bridge timer's first tick.
  rtl::TimePoint bridge_origin{};

  mutable std::mutex stats_mu;
  VirtualAdapterStats stats;

  // The programs that have the terminal open, as inotify counts them,
  // and the events of our own look at it in power_cycle() still to come
  // (serving thread only).
  int openers = 0;
  int own_opens = 0, own_closes = 0;

  // When each answer leaves (serving thread only).
  AnswerSchedule schedule;

  int start();
  void stop();
  void serve();
  // True while some program has the slave side open.
  bool hosted() const;
  // Reads inotify's events and counts by them the programs that have the
  // terminal open; true when the count fell to none (the last host
  // closed), even if another has opened it since.
  bool read_events();
  // The adapter loses its power: after the last close. `still_closed`:
  // no next host has opened the port yet.
  void power_cycle(bool still_closed);
  // Serves one chunk of host bytes.
  void handle(const std::uint8_t* data, std::size_t n);
  // Waits on `clock` until `t`; false when asked to stop first.
  bool pace_until(rtl::Clock& clock, rtl::TimePoint t);
  rtl::Clock& bridge_clock() { return options.pacing != nullptr ? *options.pacing : real_clock; }
  // Sends each batch of `bytes` when `clock` reaches its time.
  void send_batches(rtl::Clock& clock, const std::vector<std::uint8_t>& bytes, const std::vector<AnswerBatch>& batches);
  bool send(const std::uint8_t* data, std::size_t n);
};

int VirtualAdapter::Impl::start() {
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return kErrPortUnavailable;
  std::array<char, 128> name{};
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name.data(), name.size()) != 0) {
    close_fd(master);
    return kErrPortUnavailable;
  }
  path = name.data();
  int slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave < 0) {
    close_fd(master);
    return kErrPortUnavailable;
  }
  // Raw until a host sets its own modes: a host that does not would
  // otherwise see its bytes echoed and its line endings translated. The
  // modes stay with the terminal while the master is open.
  termios tio{};
  if (tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tcsetattr(slave, TCSANOW, &tio);
  }
  close_fd(slave);
  int packet = 1;
  const int flags = fcntl(master, F_GETFL);
  wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (ioctl(master, TIOCPKT, &packet) != 0 || flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0 ||
      wake < 0 || watch < 0 || inotify_add_watch(watch, path.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    stop();
    return kErrPortUnavailable;
  }
  if (!options.link_path.empty()) {
    if (exists_no_follow(options.link_path)) {
      if (!is_symlink(options.link_path) || ::unlink(options.link_path.c_str()) != 0) {
        stop();
        return kErrPortUnavailable;
      }
    }
    if (::symlink(path.c_str(), options.link_path.c_str()) != 0) {
      stop();
      return kErrPortUnavailable;
    }
    linked = true;
  }
  emulator = make_adapter_emulator(options.kind, bus);
  bridge_origin = bridge_clock().now();
  stopping.store(false);
  thread = std::thread([this] { serve(); });
  return 1;
}

void VirtualAdapter::Impl::stop() {
  if (thread.joinable()) {
    stopping.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t w = ::write(wake, &one, sizeof one);
    thread.join();
  }
  if (linked) {
    // Only our own link goes; someone may have replaced it meanwhile.
    std::array<char, PATH_MAX> target{};
    const ssize_t k = readlink(options.link_path.c_str(), target.data(), target.size() - 1);
    if (k > 0 && std::string(target.data(), static_cast<std::size_t>(k)) == path) ::unlink(options.link_path.c_str());
    linked = false;
  }
  close_fd(watch);
  close_fd(wake);
  close_fd(master);
}

bool VirtualAdapter::Impl::hosted() const {
  pollfd p{master, POLLIN, 0};
  return ::poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

bool VirtualAdapter::Impl::read_events() {
  alignas(inotify_event) std::array<char, 4096> events{};
  bool emptied = false;
  for (ssize_t k; (k = ::read(watch, events.data(), events.size())) > 0;) {
    for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= k;) {
      const auto* e = reinterpret_cast<const inotify_event*>(events.data() + off);
      off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      if ((e->mask & IN_OPEN) != 0) {
        if (own_opens > 0) {
          --own_opens;
        } else {
          ++openers;
        }
      }
      if ((e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0) {
        if (own_closes > 0 && (e->mask & IN_CLOSE_WRITE) != 0) {
          --own_closes;
        } else if (openers > 0 && --openers == 0) {
          emptied = true;
        }
      }
    }
  }
  // The master has the last word: inotify merges an event into an equal
  // one before it that is still unread, so two programs opening (or
  // closing) at once may count as one.
  if (!hosted()) {
    emptied = emptied || openers > 0;
    openers = 0;
  } else if (openers == 0) {
    openers = 1;
  }
  return emptied;
}

void VirtualAdapter::Impl::power_cycle(bool still_closed) {
  emulator->power_cycle();
  // What the last host wrote and the adapter never read goes with the
  // power (unless the next host may have written already).
  if (still_closed) {
    std::array<std::uint8_t, 4096> junk{};
    while (::read(master, junk.data(), junk.size()) > 0) {
    }
  }
  // Answers the last host never read must not greet the next one; and an
  // exclusive hold (TIOCEXCL) the last host did not give up must not
  // outlive it, as it does not on a real port's last close. Both take a
  // descriptor of the terminal for a moment, whose open and close
  // read_events() then leaves out of its count.
  const int slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave >= 0) {
    ++own_opens;
    ++own_closes;
    tcflush(slave, TCIFLUSH);
    if (still_closed) ioctl(slave, TIOCNXCL);
    ::close(slave);
  }
  std::lock_guard lock(stats_mu);
  ++stats.power_cycles;
}

bool VirtualAdapter::Impl::send(const std::uint8_t* data, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t k = ::write(master, data + done, n - done);
    if (k > 0) {
      done += static_cast<std::size_t>(k);
      continue;
    }
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    // The host is not reading and its input queue is full: wait a while
    // for room, but never past a stop request.
    std::array<pollfd, 2> p{pollfd{master, POLLOUT, 0}, pollfd{wake, POLLIN, 0}};
    const int r = ::poll(p.data(), p.size(), 200);
    if (r <= 0 || (p[1].revents & POLLIN) != 0) return false;
  }
  std::lock_guard lock(stats_mu);
  stats.bytes_out += n;
  return true;
}

bool VirtualAdapter::Impl::pace_until(rtl::Clock& clock, rtl::TimePoint t) {
  // A host that streams many bytes can book seconds of adapter time; a
  // stop request must not wait for all of it.
  constexpr rtl::Duration kSlice = std::chrono::milliseconds(50);
  for (;;) {
    if (stopping.load()) return false;
    const rtl::TimePoint now = clock.now();
    if (now >= t) return true;
    clock.sleep_for(std::min(t - now, kSlice));
  }
}

void VirtualAdapter::Impl::send_batches(rtl::Clock& clock, const std::vector<std::uint8_t>& bytes,
                                        const std::vector<AnswerBatch>& batches) {
  for (const AnswerBatch& b : batches)
    if (!pace_until(clock, b.at) || !send(&bytes[b.begin], b.end - b.begin)) return;
}

void VirtualAdapter::Impl::handle(const std::uint8_t* data, std::size_t n) {
  rtl::Clock* pacing = options.pacing;
  rtl::Clock& clock = pacing != nullptr ? *pacing : rtl::GetClock();
  ScheduledAnswers answers = schedule.take(*emulator, data, n, clock.now(), pacing != nullptr);
  {
    std::lock_guard lock(stats_mu);
    stats.bytes_in += n;
    stats.modelled += answers.modelled;
    if (!answers.bytes.empty()) ++stats.round_trips;
  }
  if (options.bridge_latency > rtl::Duration(0)) {
    // Unpaced answers are due as soon as the request came in.
    if (pacing == nullptr) std::fill(answers.due.begin(), answers.due.end(), real_clock.now());
    // The packets are known before the host can see the last answer, and
    // so are the statistics.
    const auto packets = bridge_packets(answers.due, bridge_origin, options.bridge_latency);
    if (!packets.empty() && packets.back().at > answers.due.back()) {
      std::lock_guard lock(stats_mu);
      stats.bridge_wait += packets.back().at - answers.due.back();
    }
    send_batches(bridge_clock(), answers.bytes, packets);
    return;
  }
  if (pacing == nullptr) {
    send(answers.bytes.data(), answers.bytes.size());
    return;
  }
  send_batches(*pacing, answers.bytes, paced_batches(answers.due));
}

void VirtualAdapter::Impl::serve() {
  answer_before_ordinary_threads();
  // Paced answers are due within tens of microseconds; the default 50 us
  // of timer slack would add to every one of them.
  if (options.pacing != nullptr || options.bridge_latency > rtl::Duration(0)) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::array<std::uint8_t, 4097> buf{};
  bool host = hosted();
  for (;;) {
    std::array<pollfd, 3> p{pollfd{wake, POLLIN, 0}, pollfd{watch, POLLIN, 0}, pollfd{master, POLLIN, 0}};
    const int r = ::poll(p.data(), host ? 3 : 2, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if ((p[0].revents & POLLIN) != 0) return;
    // Opens and closes first: bytes a new host wrote after the last close
    // belong to the freshly powered adapter. The master says whether
    // anyone still has the terminal.
    if ((p[1].revents & POLLIN) != 0) {
      if (read_events()) power_cycle(!hosted());
      host = hosted();
      continue;
    }
    if (!host) continue;
    if ((p[2].revents & POLLIN) != 0) {
      const ssize_t k = ::read(master, buf.data(), buf.size());
      if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
      if (k > 0) {
        // Packet mode: a leading 0 means data follows, anything else is a
        // status report.
        if (buf[0] != TIOCPKT_DATA) {
          if ((buf[0] & TIOCPKT_FLUSHWRITE) != 0) emulator->host_discarded_output();
        } else if (k > 1) {
          handle(buf.data() + 1, static_cast<std::size_t>(k - 1));
        }
        continue;
      }
    }
    // A hang-up that inotify has not told of (its queue overflowed).
    if (!hosted()) {
      openers = 0;
      power_cycle(true);
      host = false;
    }
  }
}

VirtualAdapter::VirtualAdapter(std::shared_ptr<SimBus> bus, VirtualAdapterOptions options)
    : impl_(std::make_unique<Impl>(std::move(bus), std::move(options))) {}

VirtualAdapter::~VirtualAdapter() { stop(); }

int VirtualAdapter::start() {
  if (running()) return 1;
  return impl_->start();
}

void VirtualAdapter::stop() { impl_->stop(); }

bool VirtualAdapter::running() const { return impl_->thread.joinable(); }

const std::string& VirtualAdapter::path() const { return impl_->path; }

VirtualAdapterStats VirtualAdapter::stats() const {
  std::lock_guard lock(impl_->stats_mu);
  return impl_->stats;
}

void VirtualAdapter::reset_stats() {
  std::lock_guard lock(impl_->stats_mu);
  impl_->stats = VirtualAdapterStats{};
}

}  // namespace onewire::sim
