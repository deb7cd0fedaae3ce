// The `kestrune` extension module: argument conversion, interpreter-lock handling and
// the mapping of error values to Python exceptions. The work happens in src/cli.
//
// Methods are installed as CPython method descriptors rather than pybind11 functions so
// that their documentation strings double as text signatures ("$self" included) and
// inspect.signature reports them exactly.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "generation/generate.h"
#include "generation/limits.h"
#include "python/engine.h"
#include "tokenizer/tokenizer.h"

namespace py = pybind11;

namespace {

struct EngineBox {
  std::unique_ptr<kestrune::Engine> engine;
};

// The iterator of Engine.stream and Engine.chat(stream=True). Every field is touched
// only with the interpreter lock held; `busy` marks a step running without it, and a
// close() meanwhile leaves the freeing to that step.
struct StreamBox {
  py::object owner;  // the Engine, kept alive while the stream lives
  std::unique_ptr<kestrune::Stream> stream;
  bool busy = false;
  bool closing = false;
  // Counts that outlive the stream's state.
  uint64_t prompt_tokens = 0;
  uint64_t cached_tokens = 0;
  uint64_t completion_tokens = 0;
  const char* finish_reason = nullptr;
  bool reasoning_open = false;  // the chat prompt opened a reasoning block
};

// A Python object owned from C++ code that may run without the interpreter lock: the
// last owner takes the lock to drop it.
struct PyRef {
  py::object obj;
  explicit PyRef(py::object o) : obj(std::move(o)) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() {
    py::gil_scoped_acquire gil;
    obj = py::object();
  }
};

PyObject* g_panic_exception = nullptr;

constexpr const char* kEncodeDoc = "encode($self, text)\n--\n\n";
constexpr const char* kDecodeDoc =
    "decode($self, ids)\n--\n\nToken ids -> raw bytes. Returns `bytes`, not a list: UTF-8 only\n"
    "re-establishes itself after concatenation.";
constexpr const char* kGenerateDoc =
    "generate($self, prompt, max_tokens=64, temperature=0.0, top_k=20, top_p=0.95, seed=None)\n--\n\n"
    "Completion. Greedy by default (temperature=0.0) \u2014 the API face is\n"
    "reproducibility-first; sampling is opt-in via kwargs. seed=None means\n"
    "clock-seeded (different every call); pass a seed for exact replay.\n"
    "Returns the continuation text (prompt excluded).";
constexpr const char* kScoreDoc =
    "score($self, text)\n--\n\n"
    "Natural-log probability of each token of the text given the tokens before it:\n"
    "one float per token after the first (the first has no context). One batched\n"
    "pass over the text; sum for the total log-likelihood, exp(-mean) for perplexity.";
constexpr const char* kStreamDoc =
    "stream($self, prompt, max_tokens=64, temperature=0.0, top_k=20, top_p=0.95, seed=None)\n--\n\n"
    "Like generate, but returns an iterator of str pieces as the tokens come. A piece\n"
    "never splits a character. Leaving the loop early stops the generation and frees\n"
    "its state. A prompt that extends the tokens of a finished stream or chat resumes\n"
    "from that stream's state and feeds only the new tokens.";
constexpr const char* kChatDoc =
    "chat($self, messages, max_tokens=1024, temperature=None, top_k=None, top_p=None, seed=None, stream=False, "
    "tools=None, tool_choice=None, response_format=None, chat_template_kwargs=None)\n"
    "--\n\n"
    "Reply to a conversation: messages is a list of {\"role\": \"system\" | \"user\" |\n"
    "\"assistant\" | \"tool\", \"content\": str} dicts, formatted with the model file's own\n"
    "chat template when it has one (else the template of `kestrune chat`). tools,\n"
    "tool_choice and response_format take their OpenAI forms; a required tool call or a\n"
    "JSON response_format constrains sampling to that shape. chat_template_kwargs go to\n"
    "the template (for example enable_thinking=False). Sampling arguments left at None\n"
    "take the model file's defaults. Returns the answer as a str whose .reasoning holds\n"
    "the text between <think> and </think> and .tool_calls the parsed calls (each None\n"
    "when absent), or, with stream=True, an iterator of the raw reply's str pieces.\n"
    "Sending the conversation back with the reply and a new message resumes from the\n"
    "cached decode state, so only the new turn is processed.";
constexpr const char* kCliMainDoc =
    "cli_main()\n--\n\nConsole-script entry point (`kestrune` on PATH after pip install).\n"
    "Args come from sys.argv \u2014 under a console-script shim the process argv\n"
    "belongs to the interpreter, not to us. SIGINT is restored to the default\n"
    "disposition so Ctrl-C kills a mid-stream generation like a native binary:\n"
    "Python's own handler cannot fire inside a long GIL-released call.";

// Raises the Python form of an error value.
[[noreturn]] void raise_error(const kestrune::Error& error) {
  if (kestrune::is_empty_prompt_error(error) || kestrune::is_limit_error(error)) {
    throw py::value_error(error.message);
  }
  PyErr_SetString(PyExc_OSError, error.message.c_str());
  throw py::error_already_set();
}

template <class T>
T unwrap(kestrune::Result<T> result) {
  if (!result.ok()) raise_error(result.error());
  return std::move(result).value();
}

// Re-raises the pending conversion error with the parameter's name in front.
[[noreturn]] void raise_for_argument(const char* name) {
  py::error_already_set pending;
  py::object type = pending.type();
  std::string message = "argument '" + std::string(name) + "': " + py::str(pending.value()).cast<std::string>();
  PyErr_SetString(type.ptr(), message.c_str());
  throw py::error_already_set();
}

std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

[[noreturn]] void raise_message(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

// The UTF-8 bytes of a str. A lone surrogate has none: ValueError naming where it is.
std::string utf8_of(PyObject* str, const std::string& what) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data != nullptr) return std::string(data, static_cast<size_t>(size));
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
  PyErr_Clear();
  const Py_ssize_t n = PyUnicode_GetLength(str);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 c = PyUnicode_ReadChar(str, i);
    if (c >= 0xD800 && c <= 0xDFFF) {
      char code[8];
      std::snprintf(code, sizeof code, "%04X", static_cast<unsigned>(c));
      raise_message(PyExc_ValueError, what + ": lone surrogate U+" + code + " at position " + std::to_string(i) +
                                          " is not valid text");
    }
  }
  raise_message(PyExc_ValueError, what + ": not encodable as UTF-8");
}

std::string to_string_arg(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %s", name, type_name(obj).c_str());
    throw py::error_already_set();
  }
  return utf8_of(obj, "argument '" + std::string(name) + "'");
}

uint64_t to_u64_arg(PyObject* obj, const char* name) {
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(obj));
  if (!index) raise_for_argument(name);
  unsigned long long v = PyLong_AsUnsignedLongLong(index.ptr());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_for_argument(name);
  return static_cast<uint64_t>(v);
}

float to_f32_arg(PyObject* obj, const char* name) {
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) raise_for_argument(name);
  return static_cast<float>(v);
}

std::vector<uint32_t> to_ids_arg(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of int, got %s", name,
                 type_name(obj).c_str());
    throw py::error_already_set();
  }
  py::object seq = py::reinterpret_steal<py::object>(PySequence_Fast(obj, "expected a sequence"));
  if (!seq) raise_for_argument(name);
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
  PyObject** items = PySequence_Fast_ITEMS(seq.ptr());
  std::vector<uint32_t> ids;
  ids.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    uint64_t v = to_u64_arg(items[i], name);
    if (v > UINT32_MAX) {
      PyErr_Format(PyExc_OverflowError, "argument '%s': out of range integral type conversion attempted", name);
      throw py::error_already_set();
    }
    ids.push_back(static_cast<uint32_t>(v));
  }
  return ids;
}

// The engine behind `self`; an instance made with Engine.__new__ alone has none.
kestrune::Engine& mutable_engine_of(PyObject* self) {
  auto* inst = reinterpret_cast<py::detail::instance*>(self);
  auto v_h = inst->get_value_and_holder(py::detail::get_type_info(typeid(EngineBox)), false);
  auto* box = v_h && v_h.holder_constructed() ? static_cast<EngineBox*>(v_h.value_ptr()) : nullptr;
  if (box == nullptr || !box->engine) {
    raise_message(PyExc_RuntimeError, "Engine is not initialized: construct it with Engine(path)");
  }
  return *box->engine;
}

const kestrune::Engine& engine_of(PyObject* self) { return mutable_engine_of(self); }

// Signal checks for a call that runs without the interpreter lock: between tokens the
// lock is taken to run Python's handlers; an exception one raises (KeyboardInterrupt)
// stops the run and is raised again once the call is back under the lock.
struct SignalCheck {
  py::object type, value, traceback;
  kestrune::BetweenPasses fn() {
    return [this]() -> kestrune::Status {
      py::gil_scoped_acquire gil;
      if (PyErr_CheckSignals() == 0) return kestrune::Ok{};
      PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
      PyErr_Fetch(&t, &v, &tb);
      type = py::reinterpret_steal<py::object>(t);
      value = py::reinterpret_steal<py::object>(v);
      traceback = py::reinterpret_steal<py::object>(tb);
      return kestrune::invalid_input("interrupted");
    };
  }
  // With the lock held, after the call.
  void raise_if_interrupted() {
    if (!type) return;
    PyErr_Restore(type.release().ptr(), value.release().ptr(), traceback.release().ptr());
    throw py::error_already_set();
  }
};

// Runs a method body, turning C++ exceptions into the pending Python exception: error
// values were already raised as OSError/ValueError; anything else is an internal fault.
template <class F>
PyObject* guarded(F&& body) {
  try {
    return body().release().ptr();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const std::exception& e) {
    PyErr_SetString(g_panic_exception, e.what());
  } catch (...) {
    PyErr_SetString(g_panic_exception, "internal error");
  }
  return nullptr;
}

PyObject* engine_encode(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* kwlist[] = {"text", nullptr};
    PyObject* text_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:encode", const_cast<char**>(kwlist), &text_obj)) {
      throw py::error_already_set();
    }
    std::string text = to_string_arg(text_obj, "text");
    std::vector<uint32_t> ids = unwrap(kestrune::encode(engine_of(self).tokenizer, text));
    py::list out(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) out[i] = py::int_(ids[i]);
    return out;
  });
}

PyObject* engine_decode(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* kwlist[] = {"ids", nullptr};
    PyObject* ids_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:decode", const_cast<char**>(kwlist), &ids_obj)) {
      throw py::error_already_set();
    }
    std::vector<uint32_t> ids = to_ids_arg(ids_obj, "ids");
    std::string bytes = unwrap(kestrune::decode(engine_of(self).tokenizer, ids));
    return py::bytes(bytes);
  });
}

void read_sampling(PyObject* max_tokens, PyObject* temperature, PyObject* top_k, PyObject* top_p, PyObject* seed,
                   bool none_keeps, kestrune::CompletionRequest& request) {
  auto given = [none_keeps](PyObject* o) { return o != nullptr && !(none_keeps && o == Py_None); };
  if (max_tokens) request.max_tokens = to_u64_arg(max_tokens, "max_tokens");
  if (given(temperature)) request.temperature = to_f32_arg(temperature, "temperature");
  if (given(top_k)) request.top_k = to_u64_arg(top_k, "top_k");
  if (given(top_p)) request.top_p = to_f32_arg(top_p, "top_p");
  if (seed && seed != Py_None) request.seed = to_u64_arg(seed, "seed");
}

// (prompt, max_tokens=64, temperature=0.0, top_k=20, top_p=0.95, seed=None), the
// arguments of generate and stream; `format` names the method in parse errors.
std::string read_completion_args(PyObject* args, PyObject* kwargs, const char* format,
                                 kestrune::CompletionRequest& request) {
  static const char* kwlist[] = {"prompt", "max_tokens", "temperature", "top_k", "top_p", "seed", nullptr};
  PyObject* prompt_obj = nullptr;
  PyObject* max_tokens_obj = nullptr;
  PyObject* temperature_obj = nullptr;
  PyObject* top_k_obj = nullptr;
  PyObject* top_p_obj = nullptr;
  PyObject* seed_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &prompt_obj, &max_tokens_obj,
                                   &temperature_obj, &top_k_obj, &top_p_obj, &seed_obj)) {
    throw py::error_already_set();
  }
  std::string prompt = to_string_arg(prompt_obj, "prompt");
  read_sampling(max_tokens_obj, temperature_obj, top_k_obj, top_p_obj, seed_obj, false, request);
  return prompt;
}

PyObject* engine_generate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    kestrune::CompletionRequest request;
    std::string prompt = read_completion_args(args, kwargs, "O|OOOOO:generate", request);

    const kestrune::Engine& engine = engine_of(self);
    SignalCheck signals;
    request.between = signals.fn();
    std::optional<kestrune::Result<std::string>> result;
    {
      py::gil_scoped_release release;
      result.emplace(kestrune::complete(engine, prompt, request));
    }
    signals.raise_if_interrupted();
    std::string bytes = unwrap(std::move(*result));
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
  });
}

PyObject* engine_score(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* kwlist[] = {"text", nullptr};
    PyObject* text_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:score", const_cast<char**>(kwlist), &text_obj)) {
      throw py::error_already_set();
    }
    std::string text = to_string_arg(text_obj, "text");
    const kestrune::Engine& engine = engine_of(self);
    SignalCheck signals;
    std::optional<kestrune::Result<std::vector<double>>> result;
    {
      py::gil_scoped_release release;
      result.emplace(kestrune::score_text(engine, text, signals.fn()));
    }
    signals.raise_if_interrupted();
    std::vector<double> lp = unwrap(std::move(*result));
    py::list out(lp.size());
    for (size_t i = 0; i < lp.size(); ++i) out[i] = py::float_(lp[i]);
    return out;
  });
}


std::string message_field(PyObject* item, Py_ssize_t i, const char* key) {
  std::string where = "messages[" + std::to_string(i) + "]";
  PyObject* value = PyDict_GetItemString(item, key);
  if (value == nullptr) raise_message(PyExc_ValueError, where + ": missing '" + key + "'");
  if (!PyUnicode_Check(value)) {
    raise_message(PyExc_TypeError, where + "['" + key + "']: expected str, got " + type_name(value));
  }
  return utf8_of(value, where + "['" + key + "']");
}

std::vector<kestrune::ChatMessage> to_messages_arg(PyObject* obj) {
  if (!PyList_Check(obj)) {
    raise_message(PyExc_TypeError, "argument 'messages': expected a list of dicts, got " + type_name(obj));
  }
  // A tuple snapshot: the list cannot change under the loop.
  py::object items = py::reinterpret_steal<py::object>(PySequence_Tuple(obj));
  if (!items) throw py::error_already_set();
  Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
  if (n == 0) raise_message(PyExc_ValueError, "argument 'messages': empty list");
  std::vector<kestrune::ChatMessage> out;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.ptr(), i);
    if (!PyDict_Check(item)) {
      raise_message(PyExc_TypeError,
                    "messages[" + std::to_string(i) + "]: expected a dict, got " + type_name(item));
    }
    std::string role = message_field(item, i, "role");
    kestrune::ChatMessage m;
    if (role == "system") {
      m.role = kestrune::ChatRole::System;
    } else if (role == "user") {
      m.role = kestrune::ChatRole::User;
    } else if (role == "assistant") {
      m.role = kestrune::ChatRole::Assistant;
    } else {
      raise_message(PyExc_ValueError, "messages[" + std::to_string(i) + "]: unknown role '" + role +
                                          "' (expected 'system', 'user' or 'assistant')");
    }
    m.content = message_field(item, i, "content");
    out.push_back(std::move(m));
  }
  return out;
}

py::object make_stream(PyObject* self, std::unique_ptr<kestrune::Stream> stream) {
  auto box = std::make_unique<StreamBox>();
  box->owner = py::reinterpret_borrow<py::object>(self);
  box->prompt_tokens = stream->prompt_len;
  box->stream = std::move(stream);
  return py::cast(box.release(), py::return_value_policy::take_ownership);
}

py::str to_str(const std::string& utf8) {
  PyObject* text = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

void record_counts(StreamBox& box) {
  const kestrune::Stream& s = *box.stream;
  box.cached_tokens = s.cached;
  box.completion_tokens = s.report.generated;
  if (s.finished) box.finish_reason = s.cursor.stopped ? "stop" : "length";
}

// Steps until a non-empty piece or the end, the interpreter lock released for each
// token and signals checked between tokens.
py::object stream_next(StreamBox& box) {
  if (box.busy) throw py::value_error("stream already executing");
  for (;;) {
    if (!box.stream || box.stream->finished) {
      box.stream.reset();
      throw py::stop_iteration();
    }
    std::optional<kestrune::Result<std::string>> piece;
    box.busy = true;
    {
      py::gil_scoped_release release;
      piece.emplace(kestrune::stream_step(*box.stream));
    }
    box.busy = false;
    if (piece->ok()) record_counts(box);
    if (box.closing) {
      box.stream.reset();
      throw py::stop_iteration();
    }
    if (!piece->ok()) {
      box.stream.reset();
      raise_error(piece->error());
    }
    if (PyErr_CheckSignals() != 0) {
      box.stream.reset();
      throw py::error_already_set();
    }
    if (!piece->value().empty()) return to_str(piece->value());
  }
}

void stream_close(StreamBox& box) {
  if (box.busy) {
    box.closing = true;
    box.stream->cancelled = true;
  } else {
    box.stream.reset();
  }
}

PyObject* engine_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    kestrune::CompletionRequest request;
    std::string prompt = read_completion_args(args, kwargs, "O|OOOOO:stream", request);

    kestrune::Engine& engine = mutable_engine_of(self);
    std::optional<kestrune::Result<std::unique_ptr<kestrune::Stream>>> stream;
    {
      py::gil_scoped_release release;
      auto ids = kestrune::encode(engine.tokenizer, prompt);
      if (!ids.ok()) {
        stream.emplace(std::move(ids).error());
      } else {
        std::vector<uint32_t> stop;
        if (engine.eos) stop.push_back(*engine.eos);
        stream.emplace(kestrune::open_stream(engine, std::move(*ids), request, std::move(stop)));
      }
    }
    return make_stream(self, unwrap(std::move(*stream)));
  });
}

// Python failures inside a generation step come back as error values.
kestrune::Error python_error(py::error_already_set& e) {
  return kestrune::invalid_input(py::str(e.value()).cast<std::string>());
}

// The grammar hooks over a kestrune_chat Constraint; each step takes the interpreter
// lock only to call it, and the library computes the mask without it.
std::shared_ptr<const kestrune::TokenConstraint> constraint_hooks(py::object constraint) {
  auto ref = std::make_shared<PyRef>(std::move(constraint));
  auto hooks = std::make_shared<kestrune::TokenConstraint>();
  hooks->fill = [ref](std::span<uint32_t> words) -> kestrune::Status {
    py::gil_scoped_acquire gil;
    try {
      ref->obj.attr("fill")(reinterpret_cast<uintptr_t>(words.data()), words.size() * sizeof(uint32_t));
    } catch (py::error_already_set& e) {
      return python_error(e);
    }
    return kestrune::Ok{};
  };
  hooks->accept = [ref](uint32_t token) -> kestrune::Status {
    py::gil_scoped_acquire gil;
    try {
      ref->obj.attr("accept")(token);
    } catch (py::error_already_set& e) {
      return python_error(e);
    }
    return kestrune::Ok{};
  };
  return hooks;
}

PyObject* engine_chat(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> py::object {
    static const char* kwlist[] = {"messages", "max_tokens",  "temperature",     "top_k",
                                   "top_p",    "seed",        "stream",          "tools",
                                   "tool_choice", "response_format", "chat_template_kwargs", nullptr};
    PyObject* messages_obj = nullptr;
    PyObject* max_tokens_obj = nullptr;
    PyObject* temperature_obj = nullptr;
    PyObject* top_k_obj = nullptr;
    PyObject* top_p_obj = nullptr;
    PyObject* seed_obj = nullptr;
    int streaming = 0;
    PyObject* tools_obj = Py_None;
    PyObject* tool_choice_obj = Py_None;
    PyObject* response_format_obj = Py_None;
    PyObject* template_kwargs_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOpOOOO:chat", const_cast<char**>(kwlist), &messages_obj,
                                     &max_tokens_obj, &temperature_obj, &top_k_obj, &top_p_obj, &seed_obj,
                                     &streaming, &tools_obj, &tool_choice_obj, &response_format_obj,
                                     &template_kwargs_obj)) {
      throw py::error_already_set();
    }
    kestrune::Engine& engine = mutable_engine_of(self);
    kestrune::CompletionRequest request;
    request.max_tokens = 1024;
    request.temperature = engine.chat_defaults.temperature;
    request.top_k = engine.chat_defaults.top_k;
    request.top_p = engine.chat_defaults.top_p;
    read_sampling(max_tokens_obj, temperature_obj, top_k_obj, top_p_obj, seed_obj, true, request);
    // A stream outlives this call; its steps check signals in Stream.__next__ instead.
    SignalCheck signals;
    if (!streaming) request.between = signals.fn();

    py::module_ helper = py::module_::import("kestrune_chat.chat");
    py::tuple prepared = helper.attr("prepare")(py::handle(self), py::handle(messages_obj), py::handle(tools_obj),
                                                py::handle(tool_choice_obj), py::handle(response_format_obj),
                                                py::handle(template_kwargs_obj));
    py::object prompt_obj = prepared[0];
    const bool reasoning_open = prepared[1].cast<bool>();
    py::object grammar = prepared[2];
    py::object parse_tools = prepared[3];

    std::vector<kestrune::ChatMessage> messages;
    std::string prompt;
    if (prompt_obj.is_none()) {
      messages = to_messages_arg(messages_obj);
    } else {
      prompt = to_string_arg(prompt_obj.ptr(), "prompt");
    }
    std::vector<uint32_t> stop;
    if (engine.chat.ok()) stop.push_back(engine.chat->im_end);
    if (engine.eos) stop.push_back(*engine.eos);
    std::shared_ptr<const kestrune::TokenConstraint> constraint;
    if (!grammar.is_none()) {
      if (stop.empty()) raise_message(PyExc_ValueError, "constrained output needs an end token in the vocabulary");
      py::object made = py::module_::import("kestrune_chat.constrain").attr("Constraint")(py::handle(self), grammar,
                                                                                           stop.front());
      constraint = constraint_hooks(std::move(made));
    }

    std::optional<kestrune::Result<std::unique_ptr<kestrune::Stream>>> stream;
    std::optional<kestrune::Status> failed;
    std::string reply;
    {
      py::gil_scoped_release release;
      auto ids = prompt_obj.is_none() ? kestrune::chat_prompt(engine, messages)
                                      : kestrune::encode_with_specials(engine.tokenizer, engine.specials, prompt);
      if (!ids.ok()) {
        stream.emplace(std::move(ids).error());
      } else {
        stream.emplace(kestrune::open_stream(engine, std::move(*ids), request, stop, constraint));
      }
      if (!streaming && stream->ok()) {
        kestrune::Stream& s = *stream->value();
        while (!s.finished) {
          if (s.started) {
            if (kestrune::Status st = request.between(); !st.ok()) {
              failed.emplace(std::move(st).error());
              break;
            }
          }
          auto piece = kestrune::stream_step(s);
          if (!piece.ok()) {
            failed.emplace(std::move(piece).error());
            break;
          }
          reply += *piece;
        }
      }
    }
    signals.raise_if_interrupted();
    std::unique_ptr<kestrune::Stream> s = unwrap(std::move(*stream));
    if (failed) raise_error(failed->error());
    if (streaming) {
      py::object it = make_stream(self, std::move(s));
      it.cast<StreamBox&>().reasoning_open = reasoning_open;
      return it;
    }
    py::object chat_reply = py::module_::import("kestrune_chat.reply").attr("ChatReply");
    return chat_reply(to_str(reply), reasoning_open, parse_tools, !parse_tools.is_none());
  });
}

PyObject* cli_main(PyObject* /*module*/, PyObject* /*unused*/) {
  return guarded([&]() -> py::object {
    py::module_ signal = py::module_::import("signal");
    signal.attr("signal")(signal.attr("SIGINT"), signal.attr("SIG_DFL"));

    py::object argv = py::module_::import("sys").attr("argv");
    if (PyUnicode_Check(argv.ptr()) || !PySequence_Check(argv.ptr())) {
      PyErr_Format(PyExc_TypeError, "sys.argv: expected a list of str, got %s", type_name(argv.ptr()).c_str());
      throw py::error_already_set();
    }
    std::vector<std::string> args;
    Py_ssize_t n = PySequence_Size(argv.ptr());
    if (n < 0) throw py::error_already_set();
    for (Py_ssize_t i = 1; i < n; ++i) {
      py::object item = py::reinterpret_steal<py::object>(PySequence_GetItem(argv.ptr(), i));
      if (!item) throw py::error_already_set();
      if (!PyUnicode_Check(item.ptr())) {
        PyErr_Format(PyExc_TypeError, "argument 'sys.argv': expected str, got %s", type_name(item.ptr()).c_str());
        throw py::error_already_set();
      }
      // The bytes the process was given (Python keeps undecodable ones as surrogate
      // escapes); the command line refuses text that is not UTF-8 with a message.
      py::object raw = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(item.ptr()));
      if (!raw) throw py::error_already_set();
      args.emplace_back(PyBytes_AS_STRING(raw.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(raw.ptr())));
    }
    // `kestrune chat` renders a file's template with the helper Engine.chat uses.
    kestrune::ChatRenderFn render = [](const kestrune::TemplateVars& vars,
                                       std::span<const kestrune::ChatLine> lines) -> kestrune::Result<std::string> {
      py::gil_scoped_acquire gil;
      try {
        py::list messages;
        for (const kestrune::ChatLine& line : lines) {
          py::dict m;
          m["role"] = to_str(line.role);
          m["content"] = to_str(line.content);
          messages.append(m);
        }
        py::object text = py::module_::import("kestrune_chat.template")
                              .attr("render")(to_str(std::string(vars.source)), messages,
                                              py::arg("bos_token") = to_str(std::string(vars.bos)),
                                              py::arg("eos_token") = to_str(std::string(vars.eos)));
        return to_string_arg(text.ptr(), "prompt");
      } catch (py::error_already_set& e) {
        return python_error(e);
      }
    };
    int code = 0;
    {
      py::gil_scoped_release release;
      code = kestrune::cli_exit_code(args, render);
    }
    return py::int_(code);
  });
}

template <class Fn>
PyCFunction as_cfunction(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef g_engine_methods[] = {
    {"encode", as_cfunction(engine_encode), METH_VARARGS | METH_KEYWORDS, kEncodeDoc},
    {"decode", as_cfunction(engine_decode), METH_VARARGS | METH_KEYWORDS, kDecodeDoc},
    {"generate", as_cfunction(engine_generate), METH_VARARGS | METH_KEYWORDS, kGenerateDoc},
    {"score", as_cfunction(engine_score), METH_VARARGS | METH_KEYWORDS, kScoreDoc},
    {"stream", as_cfunction(engine_stream), METH_VARARGS | METH_KEYWORDS, kStreamDoc},
    {"chat", as_cfunction(engine_chat), METH_VARARGS | METH_KEYWORDS, kChatDoc},
};

PyMethodDef g_cli_main_def = {"cli_main", as_cfunction(cli_main), METH_NOARGS, kCliMainDoc};

}  // namespace

PYBIND11_MODULE(kestrune, m) {
  g_panic_exception = PyErr_NewException("kestrune.PanicException", PyExc_BaseException, nullptr);
  if (g_panic_exception == nullptr) throw py::error_already_set();

  // Anything other than an error value escaping a method is an internal fault.
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const py::builtin_exception&) {
      throw;
    } catch (const std::exception& e) {
      PyErr_SetString(g_panic_exception, e.what());
    }
  });

  py::options options;
  options.disable_function_signatures();

  py::class_<EngineBox> engine(m, "Engine",
                               "Engine(path, *, threads=None, verbose=False, cache_states=4, cache_bytes=1073741824, max_batch=16)\n--\n\n"
                               "One loaded model. threads: CPU threads (None: KESTRUNE_THREADS, else every core\n"
                               "this process may use; results are identical whatever the count). verbose: print\n"
                               "the '# ' start-up and performance lines on standard error. Finished streams and\n"
                               "chats leave their decode state in a cache of at most cache_states states and\n"
                               "cache_bytes bytes (0 turns it off). Generations running at the same time in\n"
                               "different threads share each pass over the weights, at most max_batch of them\n"
                               "a step; each one's text is what it would be alone.");
  engine.def(py::init([](py::object path, py::object threads, py::object verbose, py::object cache_states,
                         py::object cache_bytes, py::object max_batch) {
               std::string p = to_string_arg(path.ptr(), "path");
               kestrune::LoadOptions load;
               if (!threads.is_none()) {
                 const uint64_t n = to_u64_arg(threads.ptr(), "threads");
                 if (n == 0) throw py::value_error("threads must be 1 or more, got 0");
                 load.threads = static_cast<size_t>(n);
               }
               const int loud = PyObject_IsTrue(verbose.ptr());
               if (loud < 0) throw py::error_already_set();
               kestrune::StateCacheLimits limits;
               limits.max_states = static_cast<size_t>(to_u64_arg(cache_states.ptr(), "cache_states"));
               limits.max_bytes = to_u64_arg(cache_bytes.ptr(), "cache_bytes");
               kestrune::BatchLimits batch;
               const uint64_t most = to_u64_arg(max_batch.ptr(), "max_batch");
               if (most == 0) throw py::value_error("max_batch must be 1 or more, got 0");
               batch.max_batch = static_cast<size_t>(std::min<uint64_t>(most, 1024));
               return EngineBox{unwrap(kestrune::open_engine(p, limits, load, loud != 0, batch))};
             }),
             py::arg("path"), py::kw_only(), py::arg("threads") = py::none(), py::arg("verbose") = false,
             py::arg("cache_states") = 4, py::arg("cache_bytes") = 1073741824,
             py::arg("max_batch") = kestrune::kDefaultMaxBatch,
             "__init__(self, path, *, threads=None, verbose=False, cache_states=4, cache_bytes=1073741824, "
             "max_batch=16)\n--\n\n");
  engine.def_property(
      "verbose", [](const EngineBox& box) { return box.engine->verbose.load(); },
      [](EngineBox& box, bool v) { box.engine->verbose = v; },
      "Whether generations print their '# perf' lines on standard error.");
  engine.def_property_readonly(
      "threads", [](const EngineBox& box) { return kestrune::backend_threads(box.engine->model->backend); },
      "CPU threads the engine splits its work across.");
  engine.def_property_readonly(
      "vocab_size", [](py::handle self) { return kestrune::vocab_size(engine_of(self.ptr()).tokenizer); },
      "Number of token ids.");
  engine.def_property_readonly(
      "chat_template", [](py::handle self) -> py::object {
        if (!engine_of(self.ptr()).chat_template) return py::none();
        return to_str(*engine_of(self.ptr()).chat_template);
      },
      "The model file's Jinja chat template (tokenizer.chat_template), or None.");
  engine.def_property_readonly(
      "bos_token", [](py::handle self) { return to_str(engine_of(self.ptr()).bos_text); },
      "Text of the file's begin-of-sequence token ('' when it names none).");
  engine.def_property_readonly(
      "eos_token", [](py::handle self) { return to_str(engine_of(self.ptr()).eos_text); },
      "Text of the file's end-of-sequence token ('' when it names none).");
  engine.def_property_readonly(
      "control_token_ids", [](py::handle self) { return engine_of(self.ptr()).specials.control; },
      "Ids of the control tokens, which never stand for text.");
  engine.def_property_readonly(
      "context_length", [](py::handle self) { return engine_of(self.ptr()).model->config.context_length; },
      "Tokens the model's context holds (qwen35.context_length); prompts must leave room in it.");
  for (PyMethodDef& def : g_engine_methods) {
    py::object descr = py::reinterpret_steal<py::object>(
        PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(engine.ptr()), &def));
    if (!descr) throw py::error_already_set();
    engine.attr(def.ml_name) = descr;
  }

  // Reached as Engine.Stream: the module's own attributes stay Engine, cli_main, __version__.
  py::class_<StreamBox> stream(engine, "Stream",
                               "Iterator of str pieces from Engine.stream or Engine.chat(stream=True).");
  stream.def("__iter__", [](py::object self) { return self; })
      .def("__next__", &stream_next)
      .def("close", &stream_close, "Stops the generation and frees its state.")
      .def_property_readonly(
          "prompt_tokens", [](const StreamBox& b) { return b.prompt_tokens; }, "Tokens of the prompt.")
      .def_property_readonly(
          "cached_tokens", [](const StreamBox& b) { return b.cached_tokens; },
          "Prompt tokens a cached decode state had already processed (known after the first piece).")
      .def_property_readonly(
          "completion_tokens", [](const StreamBox& b) { return b.completion_tokens; }, "Tokens generated so far.")
      .def_property_readonly(
          "finish_reason", [](const StreamBox& b) -> py::object {
            if (b.finish_reason == nullptr) return py::none();
            return py::str(b.finish_reason);
          },
          "None while running or when closed early, then 'stop' (a stop token) or 'length' (the budget).")
      .def_property_readonly(
          "reasoning_open", [](const StreamBox& b) { return b.reasoning_open; },
          "Whether the chat prompt opened a reasoning block, so the reply starts inside it.");

  py::object module_name = m.attr("__name__");
  py::object cli = py::reinterpret_steal<py::object>(PyCFunction_NewEx(&g_cli_main_def, m.ptr(), module_name.ptr()));
  if (!cli) throw py::error_already_set();
  m.attr("cli_main") = cli;
  m.attr("__version__") = "0.1.0";
}
