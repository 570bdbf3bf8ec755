// PathBase: reading and writing files, and the lazy line reader.
#include "bases/fsops.h"

#include <fcntl.h>
#include <unistd.h>

namespace valkin::fsops {
namespace {

// `open(obj, mode, encoding=encoding)`.
Ref open_file(State* st, PyObject* open_fn, PyObject* obj, PyObject* mode, PyObject* encoding) {
    PyObject* args[] = {nullptr, obj, mode, encoding};
    return steal(PyObject_Vectorcall(open_fn, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, st->kw_encoding.get()));
}

// ---- _path_read, _path_readlines -------------------------------------------

// with open(obj, mode, encoding=encoding) as f: return f.<method>()
Ref read_with(Function* self, PyObject* const* a, PyObject* method) {
    State* st = state(self);
    Ref open_fn = lookup_global(self->owner, st->n_open.get());
    if (!open_fn) return {};
    Ref file = open_file(st, open_fn.get(), a[1], a[2], a[3]);
    if (!file) return {};
    return with_block(st, file.get(), [&](PyObject* f) { return call_method(f, method); });
}

// ---- _path_write, _path_writelines -----------------------------------------

// Closes a descriptor of our own on every path out.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// `with f: f.<method>(payload)` with the result dropped.
Ref write_into(State* st, PyObject* file, PyObject* method, PyObject* payload) {
    return with_block(st, file, [&](PyObject* f) {
        Ref written = call_method(f, method, payload);
        return written ? none() : Ref();
    });
}

// Runs the write on a file object that `open` makes, with the caller's mode
// and encoding, over the null device: every check of the mode, the encoding
// and the content happens as it would on the real file, and nothing on disk
// is touched when one fails. False with the error set on a failure.
bool rehearse(State* st, PyObject* open_fn, PyObject* mode, PyObject* encoding, PyObject* method,
              PyObject* payload) {
    int fd;
    Py_BEGIN_ALLOW_THREADS
    fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    Py_END_ALLOW_THREADS
    if (fd < 0) return true;  // no null device: the write goes ahead unrehearsed
    Descriptor null_device(fd);
    Ref number = steal(PyLong_FromLong(null_device.get()));
    if (!number) return false;
    PyObject* args[] = {nullptr, number.get(), mode, encoding, Py_False};
    Ref file = steal(
        PyObject_Vectorcall(open_fn, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, st->kw_encoding_closefd.get()));
    if (!file) return false;
    return static_cast<bool>(write_into(st, file.get(), method, payload));
}

Ref write_with(Function* self, PyObject* const* a, bool many) {
    State* st = state(self);
    PyObject* obj = a[1];
    PyObject* mode = a[3];
    PyObject* encoding = a[4];
    PyObject* method = many ? st->n_writelines.get() : st->n_write.get();
    // The lines are gathered first: an iterable that fails half-way fails
    // before the file is opened.
    Ref payload = many ? steal(PySequence_List(a[2])) : borrow(a[2]);
    if (!payload) return {};
    Ref open_fn = lookup_global(self->owner, st->n_open.get());
    if (!open_fn) return {};
    if (open_fn.get() == st->open.get() && !rehearse(st, open_fn.get(), mode, encoding, method, payload.get())) {
        return {};
    }
    Ref file = open_file(st, open_fn.get(), obj, mode, encoding);
    if (!file) return {};
    if (!write_into(st, file.get(), method, payload.get())) return {};
    return none();
}

// ---- _path_readline: the generator -----------------------------------------

enum Stage { Created, Suspended, Finished };

struct LineReader {
    PyObject_HEAD
    PyObject* owner;     // the module
    PyObject* obj;
    PyObject* mode;
    PyObject* encoding;
    PyObject* name;
    PyObject* qualname;
    PyObject* file;      // what __enter__ returned, while suspended
    PyObject* exit;      // the bound __exit__, while suspended
    int stage;
    int running;
};

LineReader* as_reader(PyObject* o) { return reinterpret_cast<LineReader*>(o); }

// Hands the entered context over to the caller.
Entered take_context(LineReader* g) {
    Entered ctx;
    ctx.value = steal(g->file);
    ctx.exit = steal(g->exit);
    g->file = nullptr;
    g->exit = nullptr;
    return ctx;
}

// The generator body ended with the pending exception. A StopIteration that
// escapes a generator body becomes RuntimeError, as the interpreter does.
Ref finish_raising(LineReader* g) {
    g->stage = Finished;
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        Ref stop = steal(PyErr_GetRaisedException());
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        Ref error = steal(PyErr_GetRaisedException());
        if (error) {
            PyException_SetCause(error.get(), Py_NewRef(stop.get()));
            PyException_SetContext(error.get(), stop.release());
            PyErr_SetRaisedException(error.release());
        }
    }
    return {};
}

// The pending exception was raised inside the `with` block: __exit__ sees it.
// Empty without an error when __exit__ suppressed it (the body then returns).
Ref raise_inside(LineReader* g) {
    Entered ctx = take_context(g);
    g->stage = Finished;
    if (leave_raising(ctx) == 1) return {};
    return finish_raising(g);
}

// `line.rstrip()`: natively for an exact str or bytes (the same whitespace
// test the methods use), otherwise through the method.
Ref rstrip(State* st, PyObject* line) {
    if (PyUnicode_CheckExact(line)) {
        Py_ssize_t end = PyUnicode_GET_LENGTH(line);
        int kind = PyUnicode_KIND(line);
        const void* data = PyUnicode_DATA(line);
        while (end > 0 && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
        return steal(PyUnicode_Substring(line, 0, end));
    }
    if (PyBytes_CheckExact(line)) {
        const char* data = PyBytes_AS_STRING(line);
        Py_ssize_t size = PyBytes_GET_SIZE(line);
        Py_ssize_t end = size;
        while (end > 0 && Py_ISSPACE(static_cast<unsigned char>(data[end - 1]))) --end;
        if (end == size) return borrow(line);
        return steal(PyBytes_FromStringAndSize(data, end));
    }
    return call_method(line, st->n_rstrip.get());
}

// One step of the body: the next stripped line, or empty (with an error, or
// without one when the body returned).
Ref advance(LineReader* g) {
    State* st = state(g->owner);
    if (g->stage == Finished) return {};
    if (g->stage == Created) {
        Ref open_fn = lookup_global(g->owner, st->n_open.get());
        if (!open_fn) return finish_raising(g);
        Ref file = open_file(st, open_fn.get(), g->obj, g->mode, g->encoding);
        if (!file) return finish_raising(g);
        Entered ctx;
        if (!enter(st, file.get(), &ctx)) return finish_raising(g);
        g->file = ctx.value.release();
        g->exit = ctx.exit.release();
        g->stage = Suspended;
    }
    Ref file = borrow(g->file);
    Ref line = call_method(file.get(), st->n_readline.get());
    if (!line) return raise_inside(g);
    int more = PyObject_IsTrue(line.get());
    if (more < 0) return raise_inside(g);
    if (!more) {
        Entered ctx = take_context(g);
        g->stage = Finished;
        if (!leave(ctx)) return finish_raising(g);
        return {};
    }
    Ref stripped = rstrip(st, line.get());
    if (!stripped) return raise_inside(g);
    return stripped;
}

bool claim(LineReader* g) {
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return false;
    }
    g->running = 1;
    return true;
}

PyObject* reader_iternext(PyObject* self) {
    LineReader* g = as_reader(self);
    if (!claim(g)) return nullptr;
    Ref item = advance(g);
    g->running = 0;
    return item.release();
}

PyObject* reader_send(PyObject* self, PyObject* value) {
    LineReader* g = as_reader(self);
    if (g->stage == Created && value != Py_None && !g->running) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    if (!claim(g)) return nullptr;
    Ref item = advance(g);
    g->running = 0;
    if (!item && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return item.release();
}

// throw(value) or the deprecated throw(type[, value[, traceback]]).
PyObject* reader_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    LineReader* g = as_reader(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        if (nargs > 3) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        }
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0) {
        return nullptr;
    }
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Ref error;
    if (PyExceptionClass_Check(typ)) {
        PyErr_SetObject(typ, val);
        error = steal(PyErr_GetRaisedException());
        if (!error) return nullptr;
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        error = borrow(typ);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb != Py_None && PyException_SetTraceback(error.get(), tb) < 0) return nullptr;
    if (!claim(g)) return nullptr;
    PyErr_SetRaisedException(error.release());
    if (g->stage != Suspended) {
        g->stage = Finished;
        g->running = 0;
        return nullptr;
    }
    raise_inside(g);  // always empty: the body cannot yield again
    g->running = 0;
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return nullptr;
}

// close(): GeneratorExit at the pending yield; None once the body is gone.
PyObject* reader_close(PyObject* self, PyObject*) {
    LineReader* g = as_reader(self);
    if (g->stage != Suspended) {
        if (g->running) {
            PyErr_SetString(PyExc_ValueError, "generator already executing");
            return nullptr;
        }
        g->stage = Finished;
        Py_RETURN_NONE;
    }
    if (!claim(g)) return nullptr;
    PyErr_SetNone(PyExc_GeneratorExit);
    raise_inside(g);
    g->running = 0;
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_GeneratorExit)) return nullptr;
        PyErr_Clear();
    }
    Py_RETURN_NONE;
}

void reader_finalize(PyObject* self) {
    LineReader* g = as_reader(self);
    if (g->stage != Suspended || g->running) return;
    Ref pending = steal(PyErr_GetRaisedException());
    Ref done = steal(reader_close(self, nullptr));
    if (!done) PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(pending.release());
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
    LineReader* g = as_reader(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(g->owner);
    Py_VISIT(g->obj);
    Py_VISIT(g->mode);
    Py_VISIT(g->encoding);
    Py_VISIT(g->name);
    Py_VISIT(g->qualname);
    Py_VISIT(g->file);
    Py_VISIT(g->exit);
    return 0;
}

int reader_clear(PyObject* self) {
    LineReader* g = as_reader(self);
    Py_CLEAR(g->owner);
    Py_CLEAR(g->obj);
    Py_CLEAR(g->mode);
    Py_CLEAR(g->encoding);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    Py_CLEAR(g->file);
    Py_CLEAR(g->exit);
    return 0;
}

void reader_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_ClearWeakRefs(self);
    reader_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* reader_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %S at %p>", as_reader(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_reader(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_reader(self)->qualname); }

int set_text(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) { return set_text(&as_reader(self)->name, value, "__name__"); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(&as_reader(self)->qualname, value, "__qualname__");
}

PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_reader(self)->running); }
PyObject* get_suspended(PyObject* self, void*) {
    LineReader* g = as_reader(self);
    return PyBool_FromLong(g->stage == Suspended && !g->running);
}

PyMethodDef reader_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(reader_send), METH_O,
     PyDoc_STR("send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration.")},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_throw)), METH_FASTCALL,
     PyDoc_STR("throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded value "
               "or raise\nStopIteration.")},
    {"close", reader_close, METH_NOARGS, PyDoc_STR("close() -> raise GeneratorExit inside generator.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"__name__", get_name, set_name, PyDoc_STR("name of the generator"), nullptr},
    {"__qualname__", get_qualname, set_qualname, PyDoc_STR("qualified name of the generator"), nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(reader_finalize)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_iternext)},
    {Py_tp_repr, reinterpret_cast<void*>(reader_repr)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "valkin.bases.fsops.line_reader",
    sizeof(LineReader),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_MANAGED_WEAKREF,
    reader_slots,
};

}  // namespace

Ref make_line_reader_type(PyObject* module) {
    return steal(PyType_FromModuleAndSpec(module, &reader_spec, nullptr));
}

// ---- operations ------------------------------------------------------------

Ref path_read(Function* self, PyObject* const* a) { return read_with(self, a, state(self)->n_read.get()); }

Ref path_readlines(Function* self, PyObject* const* a) {
    return read_with(self, a, state(self)->n_readlines.get());
}

// The call only captures its arguments; the file opens on the first request.
Ref path_readline(Function* self, PyObject* const* a) {
    State* st = state(self);
    auto* tp = reinterpret_cast<PyTypeObject*>(st->line_reader_type.get());
    Ref made = steal(tp->tp_alloc(tp, 0));
    if (!made) return {};
    LineReader* g = as_reader(made.get());
    g->owner = Py_NewRef(self->owner);
    g->obj = Py_NewRef(a[1]);
    g->mode = Py_NewRef(a[2]);
    g->encoding = Py_NewRef(a[3]);
    g->name = Py_NewRef(st->gen_name.get());
    g->qualname = Py_NewRef(st->gen_qualname.get());
    g->stage = Created;
    g->running = 0;
    return made;
}

Ref path_write(Function* self, PyObject* const* a) { return write_with(self, a, false); }
Ref path_writelines(Function* self, PyObject* const* a) { return write_with(self, a, true); }

}  // namespace valkin::fsops
