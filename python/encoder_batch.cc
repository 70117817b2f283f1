// How a batch call runs. The caller's items are read a slice at a time with
// the interpreter lock held: texts become UTF-8 (bytes objects the slice
// keeps), id lists become ids. While the crew of threads works on one
// slice, the calling thread reads the next; then it releases the lock and
// works too, until the slice is done; it takes the lock back to turn the
// slice's results into Python objects and to let go of its inputs. So the
// lock is held only to read inputs and make outputs, never while threads
// wait on it, and at most two slices are in memory at once.
//
// Ctrl-C: while it waits, the calling thread asks the interpreter every
// few milliseconds whether a signal handler raised; if one did, the crew
// drops the pieces it has not started, the running ones finish (a piece is
// a few hundred texts at most), and the call raises what the handler
// raised, having freed everything it made.
#include "encoder_batch.h"
#include "messages.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "barrier.h"
#include "convert.h"
#include "encoder_convert.h"
#include "encoder_type.h"
#include "ref.h"
#include "zeq/batch.h"

namespace zeq::py {
namespace {

// A slice ends after this many items, or once its inputs pass this many
// bytes, whichever comes first.
constexpr std::size_t kSliceItems = 1 << 12;
constexpr std::size_t kSliceBytes = std::size_t{256} << 10;
// A call whose whole input is smaller than this runs on the calling thread:
// starting threads would cost more than they save.
constexpr std::size_t kSmallCallBytes = std::size_t{64} << 10;
constexpr std::chrono::milliseconds kPoll{20};

// The interpreter lock released for the life of the object; taken back
// when it ends, however it ends.
class LockReleased {
 public:
  LockReleased() : state_(PyEval_SaveThread()) {}
  ~LockReleased() { PyEval_RestoreThread(state_); }
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

  // Takes the lock for a moment to run the interpreter's signal handlers;
  // false when one raised (its exception is then set).
  bool no_signal_raised() {
    PyEval_RestoreThread(state_);
    const bool ok = PyErr_CheckSignals() == 0;
    state_ = PyEval_SaveThread();
    return ok;
  }

 private:
  PyThreadState* state_;
};

// The caller's sequence, held as a list of its own: another thread that
// changes the caller's list while the lock is released changes nothing here.
Ref snapshot(PyObject* items, const Signature& sig, const char* name) {
  if (PyUnicode_Check(items) || PyBytes_Check(items) || PyByteArray_Check(items)) {
    raise(PyExc_TypeError, msg::kItemsNotText, sig.full_name, name,
          type_qualname(items).c_str());
  }
  if (PyList_Check(items)) return Ref(checked(PyList_GetSlice(items, 0, PyList_Size(items))));
  Ref list(PySequence_List(items));
  if (!list) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise(PyExc_TypeError, msg::kNotIterable, sig.full_name, name,
            type_qualname(items).c_str());
    }
    throw PythonError{};
  }
  return list;
}

// One slice of a call: its inputs, kept alive and unchanged until the crew
// is done with it, and the batch that works on them.
struct Slice {
  std::size_t first = 0;           // index of its first item in the call
  std::vector<Ref> texts;          // encoding: the UTF-8 bytes of each text
  std::vector<TokenId> ids;        // decoding: every id list, flat
  std::unique_ptr<Batch> batch;
  std::size_t bytes = 0;
};

// Reads the next slice of texts of `items` from `next`; null at the end.
std::optional<Slice> read_texts(PyObject* items, std::size_t& next, const Signature& sig) {
  const std::size_t n = static_cast<std::size_t>(PyList_Size(items));
  if (next >= n) return std::nullopt;
  Slice s;
  s.first = next;
  std::vector<std::string_view> views;
  while (next < n && next - s.first < kSliceItems && s.bytes < kSliceBytes) {
    PyObject* item = PyList_GetItem(items, static_cast<Py_ssize_t>(next));
    if (!PyUnicode_Check(item)) {
      raise(PyExc_TypeError, msg::kItemNotStr, sig.full_name, next,
            type_qualname(item).c_str());
    }
    Ref utf8(checked(PyUnicode_AsUTF8String(item)));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) != 0) throw PythonError{};
    views.emplace_back(data, static_cast<std::size_t>(size));
    s.bytes += static_cast<std::size_t>(size);
    s.texts.push_back(std::move(utf8));
    ++next;
  }
  s.batch = Batch::encode(std::move(views));
  return s;
}

std::optional<Slice> read_id_lists(PyObject* items, std::size_t& next, const Tokenizer& core) {
  const std::size_t n = static_cast<std::size_t>(PyList_Size(items));
  if (next >= n) return std::nullopt;
  Slice s;
  s.first = next;
  std::vector<std::size_t> ends;
  std::vector<TokenId> one;
  while (next < n && next - s.first < kSliceItems && s.bytes < kSliceBytes) {
    PyObject* item = PyList_GetItem(items, static_cast<Py_ssize_t>(next));
    const std::string name = "id_lists[" + std::to_string(next) + "]";
    const Ref held = Ref::borrow(item);  // its __index__ may drop it from elsewhere
    ids_arg(held.get(), name.c_str(), core, one);
    s.ids.insert(s.ids.end(), one.begin(), one.end());
    ends.push_back(s.ids.size());
    s.bytes += one.size() * sizeof(TokenId);
    ++next;
  }
  std::vector<std::span<const TokenId>> lists;
  std::size_t start = 0;
  for (const std::size_t end : ends) {
    lists.emplace_back(s.ids.data() + start, end - start);
    start = end;
  }
  s.batch = Batch::decode(std::move(lists));
  return s;
}

// Runs a call: slices from read() (with the lock held), each done by the
// crew and handed to done() (with the lock held), in order.
template <class Read, class Done>
void run_call(EncoderInstance& held, unsigned threads, Read&& read, Done&& done) {
  // The slices are declared before the crew, so that they outlive its
  // threads however the call ends.
  std::optional<Slice> current = read();
  if (!current) return;
  std::optional<Slice> following = read();
  if (threads == 0) threads = available_cpus();
  if (!following && current->bytes < kSmallCallBytes) threads = 1;
  Crew crew(held.core, held.pool, threads);
  crew.post(*current->batch);
  if (following) crew.post(*following->batch);
  while (current) {
    bool finished;
    {
      LockReleased released;
      finished = crew.wait(*current->batch, kPoll, [&] { return released.no_signal_raised(); });
    }
    // A slice that finishes within one poll is never polled inside wait():
    // the signal handlers run between slices too.
    if (!finished || PyErr_CheckSignals() != 0) throw PythonError{};  // the handler's exception is set
    // The batch is finished with its inputs: a huge text's bytes go before
    // its output is copied.
    current->texts.clear();
    current->ids = {};
    done(*current);
    current = std::move(following);
    following.reset();
    if (current) {
      following = read();
      if (following) crew.post(*following->batch);
    }
  }
}

// The bytes of a bytearray that grows as results arrive, doubling its room,
// and is cut to its size at the end.
class GrowingBytes {
 public:
  explicit GrowingBytes(std::size_t room) : array_(checked(PyByteArray_FromStringAndSize(nullptr, 0))) {
    reserve(room);
  }
  char* append(std::size_t n) {
    if (size_ + n > room_) reserve(std::max(size_ + n, 2 * room_));
    char* at = PyByteArray_AsString(array_.get()) + size_;
    size_ += n;
    return at;
  }
  Ref finish() {
    if (PyByteArray_Resize(array_.get(), static_cast<Py_ssize_t>(size_)) != 0) throw PythonError{};
    return std::move(array_);
  }

 private:
  void reserve(std::size_t room) {
    if (PyByteArray_Resize(array_.get(), static_cast<Py_ssize_t>(room)) != 0) throw PythonError{};
    room_ = room;
  }
  Ref array_;
  std::size_t size_ = 0;
  std::size_t room_ = 0;
};

// memoryview(array).cast(format).
Ref typed_view(PyObject* array, const char* format) {
  const Ref bytes_view(checked(PyMemoryView_FromObject(array)));
  return Ref(checked(PyObject_CallMethod(bytes_view.get(), "cast", "s", format)));
}

}  // namespace

PyObject* encode_batch_body(PyObject* self, PyObject** v) {
  EncoderInstance& held = encoder_receiver(self);
  const Specials specials = specials_arg(held.core, v[1], v[2], kEncodeBatch.full_name);
  const unsigned threads = threads_arg(v[3], kEncodeBatch.full_name);
  const Ref items = snapshot(v[0], kEncodeBatch, "texts");
  const Py_ssize_t n = PyList_Size(items.get());
  Ref out(made(PyList_New(n)));
  std::size_t next = 0;
  std::vector<TokenId> one;
  run_call(held, threads, [&] { return read_texts(items.get(), next, kEncodeBatch); },
           [&](const Slice& s) {
             std::size_t i = s.first;
             s.batch->for_each_encoded([&](std::span<const TokenId> ids, std::span<const std::size_t> counts) {
               for (const std::size_t count : counts) {
                 one.assign(ids.begin(), ids.begin() + count);
                 ids = ids.subspan(count);
                 specials.add_to(one);
                 PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i++), id_list(one, &held.ints));
               }
             });
           });
  return out.release();
}

PyObject* encode_flat_body(PyObject* self, PyObject** v) {
  EncoderInstance& held = encoder_receiver(self);
  const Specials specials = specials_arg(held.core, v[1], v[2], kEncodeFlat.full_name);
  const unsigned threads = threads_arg(v[3], kEncodeFlat.full_name);
  const Ref items = snapshot(v[0], kEncodeFlat, "texts");
  const auto n = static_cast<std::size_t>(PyList_Size(items.get()));
  const std::size_t extra = specials.bos.has_value() + specials.eos.has_value();

  GrowingBytes ids(std::size_t{1} << 16);
  Ref offsets(checked(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>((n + 1) * sizeof(std::int64_t)))));
  std::int64_t total = 0;
  std::memcpy(PyByteArray_AsString(offsets.get()), &total, sizeof total);
  std::size_t next = 0;
  run_call(held, threads, [&] { return read_texts(items.get(), next, kEncodeFlat); },
           [&](const Slice& s) {
             char* const offset_bytes = PyByteArray_AsString(offsets.get());
             std::size_t i = s.first;
             s.batch->for_each_encoded([&](std::span<const TokenId> piece, std::span<const std::size_t> counts) {
               auto* w = reinterpret_cast<TokenId*>(ids.append((piece.size() + extra * counts.size()) * sizeof(TokenId)));
               for (const std::size_t count : counts) {
                 if (specials.bos) *w++ = *specials.bos;
                 w = std::copy_n(piece.data(), count, w);  // piece is empty (null) for an empty text
                 piece = piece.subspan(count);
                 if (specials.eos) *w++ = *specials.eos;
                 total += static_cast<std::int64_t>(count + extra);
                 std::memcpy(offset_bytes + (++i) * sizeof total, &total, sizeof total);
               }
             });
           });
  const Ref ids_array = ids.finish();
  const Ref id_view = typed_view(ids_array.get(), "I");
  const Ref offset_view = typed_view(offsets.get(), "q");
  return checked(PyTuple_Pack(2, id_view.get(), offset_view.get()));
}

PyObject* decode_batch_body(PyObject* self, PyObject** v) {
  EncoderInstance& held = encoder_receiver(self);
  const unsigned threads = threads_arg(v[1], kDecodeBatch.full_name);
  const Ref items = snapshot(v[0], kDecodeBatch, "id_lists");
  Ref out(made(PyList_New(PyList_Size(items.get()))));
  std::size_t next = 0;
  run_call(held, threads, [&] { return read_id_lists(items.get(), next, held.core); },
           [&](const Slice& s) {
             std::size_t i = s.first;
             s.batch->for_each_decoded([&](std::string_view texts, std::span<const std::size_t> lengths) {
               for (const std::size_t length : lengths) {
                 PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i++), str_object(texts.substr(0, length)));
                 texts.remove_prefix(length);
               }
             });
           });
  return out.release();
}

}  // namespace zeq::py
