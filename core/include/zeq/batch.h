// Batch calls on several threads: many texts encoded, or many id lists
// decoded, by a crew of threads that share one Tokenizer.
//
// Sharing: the tokenizer is only read; each thread encodes with a Session
// of its own, taken from a SessionPool when the crew starts and given back
// when it stops, so that no mutable state is shared on the hot path and no
// lock is taken there. The only shared state is a batch's counters (one
// atomic increment per piece of work, a few hundred texts) and the queue of
// posted batches (a mutex taken once per piece).
#ifndef ZEQ_BATCH_H_
#define ZEQ_BATCH_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "zeq/tokenizer.h"

namespace zeq {

// The CPUs this process may run on (its affinity mask), at least 1.
unsigned available_cpus();

// Sessions of one tokenizer for the threads of batch calls. Thread-safe.
// Sessions come back with their word caches, so that later calls start warm;
// at most `keep` are kept.
class SessionPool {
 public:
  SessionPool(const Tokenizer& tokenizer, std::size_t keep);
  std::unique_ptr<Session> take();
  void give_back(std::unique_ptr<Session> session);

 private:
  const Tokenizer& tokenizer_;
  const std::size_t keep_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Session>> idle_;
};

// One batch: its inputs are set before it is posted and stay unchanged (and
// alive) until it is finished; its outputs are read once it is finished.
// Cut into pieces of consecutive items, each done by one thread.
class Batch {
 public:
  // Encoding `texts` (views the caller keeps alive).
  static std::unique_ptr<Batch> encode(std::vector<std::string_view> texts);
  // Decoding `lists` (views the caller keeps alive).
  static std::unique_ptr<Batch> decode(std::vector<std::span<const TokenId>> lists);

  std::size_t size() const { return items_; }
  bool finished() const { return done_.load(std::memory_order_acquire) == pieces_.size(); }

  // Outputs, in item order, once finished. Encoding: the number of ids of
  // item i, and every id, flat. Decoding: the length of text i, and every
  // text, joined.
  template <class Visit>  // visit(std::span<const TokenId> ids of one piece, std::span<const std::size_t> counts)
  void for_each_encoded(Visit&& visit) const {
    for (const Piece& p : pieces_) visit(std::span<const TokenId>(p.ids), std::span<const std::size_t>(p.counts));
  }
  template <class Visit>  // visit(std::string_view texts of one piece, std::span<const std::size_t> lengths)
  void for_each_decoded(Visit&& visit) const {
    for (const Piece& p : pieces_) visit(std::string_view(p.text), std::span<const std::size_t>(p.counts));
  }

 private:
  friend class Crew;
  struct Piece {
    std::size_t first, last;            // items [first, last)
    std::vector<TokenId> ids;           // encoding: the ids of its items
    std::string text;                   // decoding: the texts of its items
    std::vector<std::size_t> counts;    // per item: ids (encoding) or bytes (decoding)
  };
  enum class Kind { Encode, Decode };

  Batch() = default;
  // Cuts items into pieces of at most kPieceItems items and about
  // kPieceBytes bytes (`weight` gives an item's bytes).
  void cut(std::size_t items, const std::function<std::size_t(std::size_t)>& weight);
  // Runs piece k with `session` (and the tokenizer it serves).
  void run(std::size_t k, Session& session, const Tokenizer& tokenizer);

  Kind kind_ = Kind::Encode;
  std::size_t items_ = 0;
  std::vector<std::string_view> texts_;
  std::vector<std::span<const TokenId>> lists_;
  std::vector<Piece> pieces_;
  std::atomic<std::size_t> next_{0};  // the next piece to hand out
  std::atomic<std::size_t> done_{0};  // pieces finished
  std::exception_ptr error_;          // the first piece that threw (set under the crew's mutex)
};

// The threads of one batch call: `threads` - 1 of its own, and the calling
// thread, which works too while it waits (see wait). Each takes a session
// from the pool for the crew's life.
class Crew {
 public:
  Crew(const Tokenizer& tokenizer, SessionPool& pool, unsigned threads);
  // Stops the threads (after the pieces they are running) and gives the
  // sessions back. Never leaves a thread running.
  ~Crew();
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;

  // The crew starts on `batch`, after the batches posted before it.
  void post(Batch& batch);

  // The calling thread works on posted batches until `batch` is finished.
  // Every `poll` while it waits, and between pieces, keep_going() is asked
  // on the calling thread; when it says no, the crew drops every piece not
  // yet started, waits for the running ones and returns false.
  bool wait(Batch& batch, std::chrono::milliseconds poll, const std::function<bool()>& keep_going);

 private:
  // Runs the next piece of the oldest posted batch that has one with
  // `session`; false when there is none.
  bool run_one(Session& session);
  void work(Session& session);
  // Stops and joins the threads, gives the sessions back.
  void stop();

  const Tokenizer& tokenizer_;
  SessionPool& pool_;
  std::vector<std::unique_ptr<Session>> sessions_;  // [0] is the caller's
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable posted_;    // a batch was posted, or the crew stops
  std::condition_variable finished_;  // a piece was finished
  std::deque<Batch*> queue_;          // posted batches with pieces to hand out
  std::size_t running_ = 0;           // pieces being run
  bool stopping_ = false;
};

}  // namespace zeq

#endif  // ZEQ_BATCH_H_
