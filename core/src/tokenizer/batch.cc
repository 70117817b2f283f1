#include "zeq/batch.h"

#include <sched.h>

#include <algorithm>

namespace zeq {
namespace {

// A piece is at most this many items and, past its first item, about this
// many bytes of input: small enough that a thread asked to stop is free
// within milliseconds and the threads finish a batch together, large enough
// that handing pieces out costs nothing next to running them.
constexpr std::size_t kPieceItems = 256;
constexpr std::size_t kPieceBytes = std::size_t{64} << 10;

}  // namespace

unsigned available_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

// --- SessionPool ---

SessionPool::SessionPool(const Tokenizer& tokenizer, std::size_t keep)
    : tokenizer_(tokenizer), keep_(keep) {}

std::unique_ptr<Session> SessionPool::take() {
  {
    const std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      std::unique_ptr<Session> s = std::move(idle_.back());
      idle_.pop_back();
      return s;
    }
  }
  return std::make_unique<Session>(tokenizer_);
}

void SessionPool::give_back(std::unique_ptr<Session> session) {
  session->trim();
  const std::lock_guard lock(mutex_);
  if (idle_.size() < keep_) idle_.push_back(std::move(session));
}

// --- Batch ---

std::unique_ptr<Batch> Batch::encode(std::vector<std::string_view> texts) {
  std::unique_ptr<Batch> b(new Batch());
  b->kind_ = Kind::Encode;
  b->texts_ = std::move(texts);
  b->cut(b->texts_.size(), [&](std::size_t i) { return b->texts_[i].size(); });
  return b;
}

std::unique_ptr<Batch> Batch::decode(std::vector<std::span<const TokenId>> lists) {
  std::unique_ptr<Batch> b(new Batch());
  b->kind_ = Kind::Decode;
  b->lists_ = std::move(lists);
  b->cut(b->lists_.size(), [&](std::size_t i) { return b->lists_[i].size() * sizeof(TokenId); });
  return b;
}

void Batch::cut(std::size_t items, const std::function<std::size_t(std::size_t)>& weight) {
  items_ = items;
  for (std::size_t first = 0; first < items;) {
    std::size_t last = first + 1;
    std::size_t bytes = weight(first);
    while (last < items && last - first < kPieceItems && bytes < kPieceBytes) bytes += weight(last++);
    pieces_.push_back(Piece{first, last, {}, {}, {}});
    first = last;
  }
}

void Batch::run(std::size_t k, Session& session, const Tokenizer& tokenizer) {
  Piece& p = pieces_[k];
  p.counts.reserve(p.last - p.first);
  // The first item's output is written in place: a piece of one huge item
  // holds its output once, not twice.
  if (kind_ == Kind::Decode) {
    std::string one;
    for (std::size_t i = p.first; i < p.last; ++i) {
      std::string& into = i == p.first ? p.text : one;
      tokenizer.decode_into(lists_[i], into);
      if (i != p.first) p.text += one;
      p.counts.push_back(into.size());
    }
    return;
  }
  std::vector<TokenId> one;
  for (std::size_t i = p.first; i < p.last; ++i) {
    std::vector<TokenId>& into = i == p.first ? p.ids : one;
    session.encode(texts_[i], into);
    if (i != p.first) p.ids.insert(p.ids.end(), one.begin(), one.end());
    p.counts.push_back(into.size());
  }
}

// --- Crew ---

Crew::Crew(const Tokenizer& tokenizer, SessionPool& pool, unsigned threads)
    : tokenizer_(tokenizer), pool_(pool) {
  threads = std::max(threads, 1u);
  for (unsigned i = 0; i < threads; ++i) sessions_.push_back(pool_.take());
  threads_.reserve(threads - 1);
  try {
    for (unsigned i = 1; i < threads; ++i) {
      threads_.emplace_back([this, i] { work(*sessions_[i]); });
    }
  } catch (...) {
    stop();  // the threads started so far
    throw;
  }
}

Crew::~Crew() { stop(); }

void Crew::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  posted_.notify_all();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
  for (std::unique_ptr<Session>& s : sessions_) {
    if (s) pool_.give_back(std::move(s));
  }
  sessions_.clear();
}

void Crew::post(Batch& batch) {
  if (batch.pieces_.empty()) return;
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back(&batch);
  }
  posted_.notify_all();
}

bool Crew::run_one(Session& session) {
  Batch* batch = nullptr;
  std::size_t k = 0;
  {
    const std::lock_guard lock(mutex_);
    if (stopping_) return false;
    while (!queue_.empty() && batch == nullptr) {
      Batch* front = queue_.front();
      k = front->next_.fetch_add(1, std::memory_order_relaxed);
      if (k + 1 >= front->pieces_.size()) queue_.pop_front();  // nothing left to hand out
      if (k < front->pieces_.size()) batch = front;
    }
    if (batch == nullptr) return false;
    ++running_;
  }
  std::exception_ptr error;
  try {
    batch->run(k, session, tokenizer_);
  } catch (...) {
    error = std::current_exception();
  }
  {
    const std::lock_guard lock(mutex_);
    if (error && !batch->error_) batch->error_ = error;
    --running_;
    batch->done_.fetch_add(1, std::memory_order_release);
  }
  finished_.notify_all();
  return true;
}

void Crew::work(Session& session) {
  for (;;) {
    if (run_one(session)) continue;
    std::unique_lock lock(mutex_);
    posted_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
  }
}

bool Crew::wait(Batch& batch, std::chrono::milliseconds poll, const std::function<bool()>& keep_going) {
  using Clock = std::chrono::steady_clock;
  auto asked = Clock::now();
  auto stop = [&] {
    std::unique_lock lock(mutex_);
    for (Batch* b : queue_) b->next_.store(b->pieces_.size(), std::memory_order_relaxed);
    queue_.clear();
    finished_.wait(lock, [&] { return running_ == 0; });
    return false;
  };
  while (!batch.finished()) {
    if (Clock::now() - asked >= poll) {
      if (!keep_going()) return stop();
      asked = Clock::now();
    }
    if (run_one(*sessions_[0])) continue;
    std::unique_lock lock(mutex_);
    finished_.wait_for(lock, poll, [&] { return batch.finished(); });
  }
  const std::lock_guard lock(mutex_);
  if (batch.error_) std::rethrow_exception(batch.error_);
  return true;
}

}  // namespace zeq
