// check_files(paths, jobs): files read, decoded and parsed on native threads
// without the interpreter lock; results come back in the order of the paths,
// each translated under the lock when it is taken.
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "binding/common/errors.h"
#include "core/utf8.h"
#include "module_parts.h"

namespace tarn::py::check {
namespace {

// ---------------------------------------------------------------- one file

// What a worker found for one file.
struct FileResult {
  bool done = false;
  int error = 0;          // errno of opening or reading it
  bool not_utf8 = false;  // `bytes` holds the file as read
  std::string bytes;      // the file as read, kept only when it is not UTF-8
  DecodedText text;       // in the narrowest code units, as the host stores a str
  int32_t refused_canonical = -1;  // see LexedText
  Findings found;
};

// What a worker keeps from file to file: buffers it has already grown and
// touched, so a file costs no fresh memory (and none of the page faults that
// come with it) unless it is larger than any before it.
struct Scratch {
  std::unique_ptr<char[]> bytes;  // the file as read, not zero-filled first
  size_t capacity = 0;
  DecodedText text;
  LexedText lexed;
  syntax::Arena arena;

  // Room for n bytes, the first `keep` of them kept (nothing of the last file).
  void reserve(size_t n, size_t keep) {
    if (n <= capacity) return;
    std::unique_ptr<char[]> more(new char[n]);
    if (keep) std::memcpy(more.get(), bytes.get(), keep);
    bytes = std::move(more);
    capacity = n;
  }
  void release() {
    drop_bytes();
    text = DecodedText{};
    lexed = LexedText{};
  }
  void drop_bytes() {
    bytes.reset();
    capacity = 0;
  }
  // What a large file made grow is not kept: it would hold that memory for
  // the rest of the run.
  static constexpr size_t kKeptMost = size_t{16} << 20;
  void trim() {
    if (capacity > kKeptMost) drop_bytes();
    if (text.capacity > kKeptMost) text = DecodedText{};
    if (lexed.toks.capacity() * sizeof(parse::PTok) > kKeptMost) lexed = LexedText{};
  }
};

bool read_file(const std::string& path, Scratch& s, size_t& have, int& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return error = errno, false;
  struct stat sb;
  have = 0;
  const bool sized = ::fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode);
  // One more than the size, so that reaching the end needs no second buffer.
  s.reserve(sized && sb.st_size > 0 ? static_cast<size_t>(sb.st_size) + 1 : 1 << 16, 0);
  for (;;) {
    if (have == s.capacity) s.reserve(s.capacity * 2, have);
    const size_t asked = s.capacity - have;
    const ssize_t got = ::read(fd, s.bytes.get() + have, asked);
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errno;
      ::close(fd);
      return false;
    }
    have += static_cast<size_t>(got);
    // A regular file gives less than asked only at its end: no read of nothing
    // needed to learn that.
    if (got == 0 || (sized && static_cast<size_t>(got) < asked)) break;
  }
  ::close(fd);
  return true;
}

Text view(const FileResult& r) { return r.text.text(); }

bool stop_requested(void* flag) { return static_cast<std::atomic<bool>*>(flag)->load(std::memory_order_relaxed); }

void check_one(const std::string& path, const Lexicon& lex, std::atomic<bool>& stop, Scratch& s, FileResult& r) {
  try {
    size_t have = 0;
    if (!read_file(path, s, have, r.error)) return;
    const std::string_view bytes(s.bytes.get(), have);
    if (!decode_utf8_text(bytes, s.text)) {
      r.not_utf8 = true;
      r.bytes.assign(bytes);
      return;
    }
    if (s.capacity > Scratch::kKeptMost) s.drop_bytes();  // a large file's bytes go once decoded
    s.lexed.toks.clear();
    s.lexed.unterminated.clear();
    if (!lex_for_parser(s.text.text(), lex, s.lexed, stop_requested, &stop)) {
      r.found.outcome = Outcome::INTERRUPTED;
      return;
    }
    if ((r.refused_canonical = s.lexed.refused_canonical) >= 0) return;
    s.arena.reset();
    r.found = findings_of(s.lexed, parse_lexed(s.lexed, s.arena, stop_requested, &stop));
  } catch (const std::bad_alloc&) {
    r = FileResult{};
    r.found.outcome = Outcome::NO_MEMORY;
    s.release();  // memory is short: give back what the next file would reuse
    return;
  }
  // The text goes with the result only when something will be shown from it.
  if (r.found.outcome != Outcome::DONE || !r.found.diags.empty()) r.text = std::move(s.text);
}

// ---------------------------------------------------------------- the run

struct Run {
  std::vector<std::string> paths;  // file-system encoded
  Lexicon lex;                     // released under the lock (it holds host objects)
  size_t window = 0;               // results kept ready ahead of the reader
  std::mutex mu;
  std::condition_variable claimable, finished;
  size_t next_claim = 0, taken = 0;
  // The results the reader sleeps until: the next one and one half a window
  // further, so that it wakes once per several files, not once per file.
  size_t wake_first = SIZE_MAX, wake_last = SIZE_MAX;
  std::vector<FileResult> results;
  std::atomic<bool> stop{false};
  std::vector<pthread_t> threads;

  void work() {
    Scratch scratch;
    for (;;) {
      size_t i;
      {
        std::unique_lock<std::mutex> lk(mu);
        claimable.wait(lk, [&] { return stop || next_claim >= paths.size() || next_claim < taken + window; });
        if (stop || next_claim >= paths.size()) return;
        i = next_claim++;
      }
      FileResult r;
      check_one(paths[i], lex, stop, scratch, r);
      scratch.trim();
      std::lock_guard<std::mutex> lk(mu);
      results[i] = std::move(r);
      results[i].done = true;
      if (i == wake_first || i == wake_last) finished.notify_all();
    }
  }

  // Without the interpreter lock.
  void stop_and_join() {
    {
      std::lock_guard<std::mutex> lk(mu);
      stop = true;
    }
    claimable.notify_all();
    for (pthread_t t : threads) pthread_join(t, nullptr);
    threads.clear();
  }
};

void* run_worker(void* run) {
  static_cast<Run*>(run)->work();
  return nullptr;
}

// Worker stacks as large as the main thread's, so deep nesting stops at the
// parser's bound on a worker exactly where it does in the host's own thread.
size_t worker_stack_size() {
  constexpr size_t kDefault = size_t{8} << 20, kMost = size_t{256} << 20;
  struct rlimit rl;
  if (getrlimit(RLIMIT_STACK, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return kDefault;
  return std::clamp(static_cast<size_t>(rl.rlim_cur), kDefault, kMost);
}

struct FilesObject {
  PyObject_HEAD
  PyObject* module;
  Run* run;
};

void close_run(FilesObject* self) {
  if (!self->run) return;
  Py_BEGIN_ALLOW_THREADS
  self->run->stop_and_join();
  Py_END_ALLOW_THREADS
  delete self->run;  // under the lock: the lexicon holds host objects
  self->run = nullptr;
}

void files_dealloc(PyObject* o) {
  auto* self = reinterpret_cast<FilesObject*>(o);
  PyTypeObject* type = Py_TYPE(o);
  close_run(self);
  Py_CLEAR(self->module);
  type->tp_free(o);
  Py_DECREF(type);
}

PyObject* files_close(PyObject* o, PyObject*) {
  close_run(reinterpret_cast<FilesObject*>(o));
  Py_RETURN_NONE;
}

PyObject* result_tuple(State& st, FileResult& r) {
  if (r.error) return Py_BuildValue("(O[]i)", Py_None, r.error);
  if (r.not_utf8) {
    Ref raw = Ref::steal(PyBytes_FromStringAndSize(r.bytes.data(), static_cast<Py_ssize_t>(r.bytes.size())));
    return raw ? Py_BuildValue("(O[]O)", Py_None, raw.get()) : nullptr;
  }
  if (r.refused_canonical >= 0) {
    Lexicon lex;  // the tokenizer's type error for that name
    if (current_lexicon(st.lexer, lex) && r.refused_canonical < lex.def->canonical_count())
      lex.def->canonical(r.refused_canonical);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "str or None object expected");
    return nullptr;
  }
  if (r.found.outcome != Outcome::DONE && r.found.outcome != Outcome::TOO_DEEP) {
    set_outcome_error(r.found.outcome == Outcome::INTERRUPTED ? Outcome::FAILED : r.found.outcome);
    return nullptr;
  }
  Ref entries = Ref::steal(diagnostic_list(st, view(r), r.found));
  if (!entries) return nullptr;
  if (PyList_GET_SIZE(entries.get()) == 0) return Py_BuildValue("(OOO)", Py_None, entries.get(), Py_None);
  Ref text = Ref::steal(PyUnicode_FromKindAndData(r.text.width, r.text.units.get(), static_cast<Py_ssize_t>(r.text.length)));
  return text ? Py_BuildValue("(OOO)", text.get(), entries.get(), Py_None) : nullptr;
}

PyObject* files_next(PyObject* o) {
  auto* self = reinterpret_cast<FilesObject*>(o);
  Run* run = self->run;
  if (!run || run->taken >= run->paths.size()) return nullptr;
  State* st = state_of_module(self->module);
  if (!st) return nullptr;
  const size_t i = run->taken;
  const size_t last = std::min(i + run->window / 2, run->paths.size()) - 1;
  bool ready = false;
  {
    std::lock_guard<std::mutex> lk(run->mu);
    ready = run->results[i].done;
  }
  while (!ready) {
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock<std::mutex> lk(run->mu);
    run->wake_first = i, run->wake_last = last;
    ready = run->finished.wait_for(lk, std::chrono::milliseconds(20),
                                   [&] { return run->results[i].done && run->results[last].done; });
    // Past the timeout the next result alone will do: a slow file further on
    // holds back the ones before it by one timeout at most.
    ready = ready || run->results[i].done;
    Py_END_ALLOW_THREADS
    // Ctrl-C: every worker stops within a few thousand tokens. Looked at after
    // every wait, ready or not, so that a pending one is raised here, with the
    // threads stopped, and not by the caller's next bytecode.
    if (PyErr_CheckSignals() < 0) return close_run(self), nullptr;
  }
  FileResult r;
  {
    std::lock_guard<std::mutex> lk(run->mu);
    r = std::move(run->results[i]);
    run->results[i] = FileResult{};
    ++run->taken;
  }
  run->claimable.notify_all();
  PyObject* out = result_tuple(*st, r);
  // A Ctrl-C that came while the result was made (a host's i18n.t may run
  // bytecode) is raised here, with the threads stopped and the interrupt kept
  // for the caller, not by the caller's next bytecode with them running.
  if (out && PyErr_CheckSignals() < 0) Py_CLEAR(out);
  if (!out && PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    close_run(self);
    PyErr_Restore(type, value, tb);
  }
  return out;
}

PyMethodDef files_methods[] = {
    {"close", files_close, METH_NOARGS, "close($self, /)\n--\n\nStops the workers and waits for them."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot files_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(files_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(files_next)},
    {Py_tp_methods, files_methods},
    {Py_tp_doc, const_cast<char*>("The results of check_files, in the order of its paths.")},
    {0, nullptr},
};

PyType_Spec files_spec = {"tarn._check._Files", sizeof(FilesObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, files_slots};

bool start_workers(Run& run, size_t jobs) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setstacksize(&attr, worker_stack_size());
  bool ok = true;
  for (size_t k = 0; k < jobs; ++k) {
    pthread_t t;
    if (pthread_create(&t, &attr, run_worker, &run) != 0) {
      ok = !run.threads.empty();  // fewer workers still finish the run
      break;
    }
    run.threads.push_back(t);
  }
  pthread_attr_destroy(&attr);
  return ok;
}

PyObject* check_files(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"paths", "jobs", nullptr};
  PyObject* paths;
  Py_ssize_t jobs;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On:check_files", const_cast<char**>(kwlist), &paths, &jobs))
    return nullptr;
  if (jobs < 1) {
    PyErr_SetString(PyExc_ValueError, "jobs must be at least 1");
    return nullptr;
  }
  State* st = state_of_module(module);
  if (!st) return nullptr;
  Ref seq = Ref::steal(PySequence_Fast(paths, "paths must be a sequence"));
  if (!seq) return nullptr;
  auto run = std::make_unique<Run>();
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* path = PySequence_Fast_GET_ITEM(seq.get(), k);
    if (!PyUnicode_Check(path)) return type_error("str", path);
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path));
    if (!encoded) return nullptr;
    if (std::strlen(PyBytes_AS_STRING(encoded.get())) != static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))) {
      PyErr_SetString(PyExc_ValueError, "embedded null byte");
      return nullptr;
    }
    run->paths.emplace_back(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()));
  }
  if (!current_lexicon(st->lexer, run->lex)) return nullptr;
  run->results.resize(run->paths.size());
  const size_t workers = std::min(static_cast<size_t>(jobs), std::max<size_t>(run->paths.size(), 1));
  run->window = 4 * workers + 16;
  Ref self = Ref::steal(PyType_GenericAlloc(st->files_type, 0));
  if (!self) return nullptr;
  auto* files = reinterpret_cast<FilesObject*>(self.get());
  files->module = Py_NewRef(module);
  files->run = run.release();
  if (!start_workers(*files->run, workers)) {
    PyErr_SetString(PyExc_RuntimeError, "cannot start the checking threads");
    return nullptr;
  }
  return self.release();
}

}  // namespace

PyMethodDef files_functions[] = {
    {"check_files", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_files)),
     METH_VARARGS | METH_KEYWORDS,
     "check_files(paths, jobs)\n--\n\n"
     "Reads and parses the files on `jobs` native threads and yields, in the order of `paths`,\n"
     "(text, entries, error): entries as diagnostics() gives them; text is the file's text when\n"
     "there are entries, else None; error is None, the errno of a file that cannot be read, or\n"
     "the bytes of a file that is not valid UTF-8. Closing the iterator stops the threads."},
    {nullptr, nullptr, 0, nullptr},
};

bool add_files_type(State& st, PyObject* module) {
  st.files_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &files_spec, nullptr));
  return st.files_type && PyModule_AddObjectRef(module, "_Files", reinterpret_cast<PyObject*>(st.files_type)) == 0 &&
         PyModule_AddFunctions(module, files_functions) == 0;
}

}  // namespace tarn::py::check
