// korvo.datastructures.configuration: a nested settings store that converts
// every stored value, expands environment references in INI values and
// loads YAML files, INI files and entry points.
#include "common/korvo.hpp"

using namespace korvo;

namespace {

const char* const env_var_pattern = R"(\$(?:([A-Za-z_][A-Za-z0-9_]*)|\{([^}]+)\}))";

const char* const unset_vars_warning =
    "Environment variable(s) %s referenced by [%s] %s are not set; "
    "substituting an empty string.";

const char* const missing_env_vars_doc =
    "Return the environment variables referenced in `value` that are not set.\n"
    "\n"
    "Each unset name is listed once, in the order of its first reference.";

const char* const expand_cfg_value_doc =
    "Expand the $NAME and ${NAME} references in one INI value.\n"
    "\n"
    "Unset variables become empty strings; one warning naming all of them,\n"
    "the section and the key is logged per value.";

const char* const expand_cfg_env_vars_doc =
    "Expand the environment references in every value of a freshly read parser.\n"
    "\n"
    "The default section and every named section are expanded in place.";

const char* const copy_doc =
    "Return a new configuration of the same class built from this one.\n"
    "\n"
    "Unlike the standard mapping copy, this always takes a new copy of every\n"
    "nested Configuration level it meets, so a subcomponent that takes a copy\n"
    "and updates it for its own use cannot corrupt the configuration it was\n"
    "copied from.";

const char* const setitem_doc = "Store a value after applying the string type coercion.";

const char* const load_cfgs_doc = "Load one or more INI configuration files into this object.";

const char* const load_yamls_doc = "Load one or more YAML configuration files into this object.";

const char* const load_entrypoint_doc =
    "Populate the configuration by loading the entry points of `group`.\n"
    "\n"
    "This lets configuration be scattered over different packages and loaded\n"
    "when needed, and only if those packages are installed. Each entry point\n"
    "must load a dict- or Configuration-like object. Owners of a lot of\n"
    "configuration do well to keep a local INI file of their own and load it\n"
    "from their entry-point module.";

// ---------------------------------------------------------------------------
// Small helpers

// The name a reference match refers to: the bare name, else the braced one.
Ref reference_name(Function& f, PyObject* match) {
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref bare = one ? call_method(match, f.s("group"), {one}) : Ref();
    if (!bare) return {};
    int has_bare = truth(bare);
    if (has_bare < 0) return {};
    if (has_bare) return bare;
    Ref two = Ref::steal(PyLong_FromLong(2));
    return two ? call_method(match, f.s("group"), {two}) : Ref();
}

// os.environ, looked up through the module global `os` now.
Ref environ(Function& f) {
    Ref os = f.global("os");
    return os ? getattr(os, f.s("environ")) : Ref();
}

// `Configuration._expand_cfg_value`, with the class looked up as a module
// global (not the class the caller was reached through).
Ref module_expand_cfg_value(Function& f) {
    Ref cls = f.global("Configuration");
    return cls ? getattr(cls, f.s("_expand_cfg_value")) : Ref();
}

// `expand(value, section=section, key=key)`.
Ref call_expand(Function& f, PyObject* expand, PyObject* value, PyObject* section, PyObject* key) {
    Ref kwnames = tuple({f.s("section"), f.s("key")});
    if (!kwnames) return {};
    PyObject* stack[] = {value, section, key};
    return Ref::steal(PyObject_Vectorcall(expand, stack, 1, kwnames));
}

// Runs `body(entered)` as `with manager as entered:` does: __exit__ sees the
// exception of the body (which it may suppress) and always runs.
template <class Body>
bool with_block(Function& f, PyObject* manager, Body body) {
    Ref entered = call_class_method(manager, f.s("__enter__"), {});
    if (!entered) return false;
    if (body(entered.get())) {
        return bool(call_class_method(manager, f.s("__exit__"), {Py_None, Py_None, Py_None}));
    }
    Ref exc = fetch_error();
    if (!exc) return false;
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    int suppress;
    {
        HandlingScope handling(exc);
        Ref result = call_class_method(
            manager, f.s("__exit__"),
            {reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(), tb ? tb.get() : Py_None});
        if (!result) return false;
        suppress = truth(result);
        if (suppress < 0) return false;
    }
    if (suppress) return true;
    restore_error(std::move(exc));
    return false;
}

// ---------------------------------------------------------------------------
// Environment expansion

Ref Configuration_missing_env_vars(Function& f, Args a) {
    PyObject *cls = a[0], *value = a[1];
    Ref missing = Ref::steal(PyList_New(0));
    Ref pattern = missing ? getattr(cls, f.s("_ENV_VAR_PATTERN")) : Ref();
    Ref matches = pattern ? call_method(pattern, f.s("finditer"), {value}) : Ref();
    Ref it = matches ? Ref::steal(PyObject_GetIter(matches)) : Ref();
    if (!it) return {};
    while (Ref match = Ref::steal(PyIter_Next(it))) {
        Ref name = reference_name(f, match);
        Ref env = name ? environ(f) : Ref();
        if (!env) return {};
        int is_set = PySequence_Contains(env, name);
        if (is_set < 0) return {};
        if (is_set) continue;
        int listed = PySequence_Contains(missing, name);
        if (listed < 0) return {};
        if (!listed && PyList_Append(missing, name) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return missing;
}

// The replacement for one reference: the variable's value, or "".
Ref expand_reference(Function& f, Args a) {
    Ref env = environ(f);
    Ref get = env ? getattr(env, f.s("get")) : Ref();
    Ref name = get ? reference_name(f, a[0]) : Ref();
    Ref empty = name ? Ref::steal(PyUnicode_New(0, 0)) : Ref();
    if (!empty) return {};
    return call(get, {name.get(), empty.get()});
}

Ref Configuration_expand_cfg_value(Function& f, Args a) {
    PyObject *cls = a[0], *value = a[1], *section = a[2], *key = a[3];
    Ref find_missing = getattr(cls, f.s("_missing_env_vars"));
    Ref missing_vars = find_missing ? call(find_missing, {value}) : Ref();
    if (!missing_vars) return {};
    int any_missing = truth(missing_vars);
    if (any_missing < 0) return {};
    if (any_missing) {
        Ref logger = f.global("logger");
        Ref warning = logger ? getattr(logger, f.s("warning")) : Ref();
        Ref message = warning ? str(unset_vars_warning) : Ref();
        Ref separator = message ? str(", ") : Ref();
        Ref names = separator ? Ref::steal(PyUnicode_Join(separator, missing_vars)) : Ref();
        if (!names || !call(warning, {message.get(), names.get(), section, key})) return {};
    }
    Ref pattern = getattr(cls, f.s("_ENV_VAR_PATTERN"));
    Ref sub = pattern ? getattr(pattern, f.s("sub")) : Ref();
    Ref replacement =
        sub ? f.closure_function("<lambda>", expand_reference, "(match)", nullptr) : Ref();
    if (!replacement) return {};
    return call(sub, {replacement.get(), value});
}

Ref Configuration_expand_cfg_env_vars(Function& f, Args a) {
    PyObject* config = a[0];

    Ref defaults = call_method(config, f.s("defaults"), {});
    Ref default_items = defaults ? call_method(defaults, f.s("items"), {}) : Ref();
    Ref it = default_items ? Ref::steal(PyObject_GetIter(default_items)) : Ref();
    if (!it) return {};
    while (Ref item = Ref::steal(PyIter_Next(it))) {
        Ref key, value;
        if (!unpack_pair(item, key, value)) return {};
        Ref expand = module_expand_cfg_value(f);
        Ref configparser = expand ? f.global("configparser") : Ref();
        Ref defaultsect = configparser ? getattr(configparser, f.s("DEFAULTSECT")) : Ref();
        Ref expanded = defaultsect ? call_expand(f, expand, value, defaultsect, key) : Ref();
        if (!expanded) return {};
        configparser = f.global("configparser");
        defaultsect = configparser ? getattr(configparser, f.s("DEFAULTSECT")) : Ref();
        Ref proxy = defaultsect ? Ref::steal(PyObject_GetItem(config, defaultsect)) : Ref();
        if (!proxy || PyObject_SetItem(proxy, key, expanded) < 0) return {};
    }
    if (PyErr_Occurred()) return {};

    Ref sections = getattr(config, f.s("_sections"));
    Ref section_items = sections ? call_method(sections, f.s("items"), {}) : Ref();
    it = section_items ? Ref::steal(PyObject_GetIter(section_items)) : Ref();
    if (!it) return {};
    while (Ref item = Ref::steal(PyIter_Next(it))) {
        Ref section, section_data;
        if (!unpack_pair(item, section, section_data)) return {};
        Ref options = call_method(section_data, f.s("items"), {});
        Ref options_it = options ? Ref::steal(PyObject_GetIter(options)) : Ref();
        if (!options_it) return {};
        while (Ref option = Ref::steal(PyIter_Next(options_it))) {
            Ref key, value;
            if (!unpack_pair(option, key, value)) return {};
            Ref set = getattr(config, f.s("set"));
            Ref expand = set ? module_expand_cfg_value(f) : Ref();
            Ref expanded = expand ? call_expand(f, expand, value, section, key) : Ref();
            if (!expanded || !call(set, {section.get(), key.get(), expanded.get()})) return {};
        }
        if (PyErr_Occurred()) return {};
    }
    if (PyErr_Occurred()) return {};
    return none();
}

// ---------------------------------------------------------------------------
// Store

Ref Configuration_copy(Function&, Args a) {
    PyObject* self = a[0];
    return call(reinterpret_cast<PyObject*>(Py_TYPE(self)), {self});
}

Ref Configuration_setitem(Function& f, Args a) {
    PyObject *self = a[0], *key = a[1], *value = a[2];
    Ref typecast_str = f.global("typecast_str");
    Ref converted = typecast_str ? call(typecast_str, {value}) : Ref();
    if (!converted || !f.super_call(self, "__setitem__", {key, converted})) return {};
    return none();
}

// ---------------------------------------------------------------------------
// Loaders

Ref Configuration_load_cfgs(Function& f, Args a) {
    PyObject *self = a[0], *files = a[1];
    Ref configparser = f.global("configparser");
    Ref parser_class = configparser ? getattr(configparser, f.s("ConfigParser")) : Ref();
    Ref delimiters = parser_class ? Ref::steal(Py_BuildValue("(s)", "=")) : Ref();
    Ref comment_prefixes = delimiters ? Ref::steal(Py_BuildValue("(s)", "#")) : Ref();
    Ref kwnames = comment_prefixes ? tuple({f.s("delimiters"), f.s("comment_prefixes")}) : Ref();
    if (!kwnames) return {};
    PyObject* stack[] = {delimiters.get(), comment_prefixes.get()};
    Ref config = Ref::steal(PyObject_Vectorcall(parser_class, stack, 0, kwnames));
    if (!config) return {};

    Ref loaded_files = call_method(config, f.s("read"), {files});
    if (!loaded_files) return {};
    if (!call_class_method(self, f.s("_expand_cfg_env_vars"), {config})) return {};
    if (!call_class_method(self, f.s("update"), {config})) return {};
    configparser = f.global("configparser");
    Ref defaultsect = configparser ? getattr(configparser, f.s("DEFAULTSECT")) : Ref();
    if (!defaultsect || !call_class_method(self, f.s("pop"), {defaultsect})) return {};
    return loaded_files;
}

Ref Configuration_load_yamls(Function& f, Args a) {
    PyObject *self = a[0], *files = a[1];
    Ref paths = Ref::steal(PySequence_List(files));
    Ref loaded = paths ? Ref::steal(PyList_New(0)) : Ref();
    if (!loaded) return {};
    // Walk by index: the list is private to this call.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(paths.get()); ++i) {
        Ref file = Ref::borrow(PyList_GET_ITEM(paths.get(), i));
        Ref os = f.global("os");
        Ref path = os ? getattr(os, f.s("path")) : Ref();
        Ref isfile = path ? getattr(path, f.s("isfile")) : Ref();
        Ref is_file = isfile ? call(isfile, {file}) : Ref();
        if (!is_file) return {};
        int regular = truth(is_file);
        if (regular < 0) return {};
        if (!regular) continue;

        Ref open = f.global("open");
        Ref mode = open ? str("r") : Ref();
        Ref stream = mode ? call(open, {file.get(), mode.get()}) : Ref();
        if (!stream) return {};
        bool ok = with_block(f, stream, [&](PyObject* entered) {
            Ref yaml = f.global("yaml");
            Ref safe_load = yaml ? getattr(yaml, f.s("safe_load")) : Ref();
            Ref document = safe_load ? call(safe_load, {entered}) : Ref();
            return document && call_class_method(self, f.s("update"), {document});
        });
        if (!ok) return {};
        if (PyList_Append(loaded, file) < 0) return {};
    }
    return Ref::steal(PyList_AsTuple(loaded));
}

// Logs the exception being handled for an entry point that failed to load.
bool log_failed_entrypoint(Function& f, PyObject* ep) {
    Ref logger = f.global("logger");
    Ref log_exception = logger ? getattr(logger, f.s("exception")) : Ref();
    Ref dist = log_exception ? getattr(ep, f.s("dist")) : Ref();
    Ref empty = dist ? Ref::steal(PyUnicode_New(0, 0)) : Ref();
    Ref formatted = empty ? Ref::steal(PyObject_Format(dist, empty)) : Ref();
    Ref prefix = formatted ? str("Failed to load configuration from entrypoint: ") : Ref();
    Ref message = prefix ? Ref::steal(PyUnicode_Concat(prefix, formatted)) : Ref();
    return message && call(log_exception, {message});
}

Ref Configuration_load_entrypoint(Function& f, Args a) {
    PyObject *self = a[0], *group = a[1];
    Ref loaded_eps = Ref::steal(PyList_New(0));
    Ref get_entry_points = loaded_eps ? f.global("get_entry_points") : Ref();
    Ref eps = get_entry_points ? call(get_entry_points, {group}) : Ref();
    Ref it = eps ? Ref::steal(PyObject_GetIter(eps)) : Ref();
    if (!it) return {};
    while (Ref ep = Ref::steal(PyIter_Next(it))) {
        Ref loaded = call_method(ep, f.s("load"), {});
        if (loaded && call_class_method(self, f.s("update"), {loaded})) {
            if (PyList_Append(loaded_eps, ep) < 0) return {};
            continue;
        }
        if (!error_matches(PyExc_Exception)) return {};
        // Record the caller's frame as the exception would on reaching it, so
        // a failure raised in native code still logs with a traceback.
        if (PyFrameObject* frame = PyEval_GetFrame()) {
            if (PyTraceBack_Here(frame) < 0) return {};
        }
        Ref exc = fetch_error();
        HandlingScope handling(exc);
        if (!log_failed_entrypoint(f, ep)) return {};
    }
    if (PyErr_Occurred()) return {};
    return loaded_eps;
}

// ---------------------------------------------------------------------------
// Module

int exec_configuration(PyObject* m) {
    for (const char* name : {"os", "re", "yaml", "logging", "configparser"}) {
        if (set_global(m, name, import(name)) < 0) return -1;
    }
    Ref abc = import("collections.abc");
    if (!abc || set_global(m, "Mapping", getattr(abc, Ref(str("Mapping")))) < 0) return -1;
    Ref nested = import_sibling(m, "fieldbag", "NestedFieldBag");
    if (set_global(m, "NestedFieldBag", nested) < 0) return -1;
    if (set_global(m, "typecast_str", import_from("korvo.utils.strings", "typecast_str")) < 0)
        return -1;
    if (set_global(m, "get_entry_points",
                   import_from("korvo.utils.import_utils", "get_entry_points")) < 0)
        return -1;

    Ref module_name = Ref::steal(PyObject_GetAttrString(m, "__name__"));
    Ref logging = module_name ? Ref::steal(PyObject_GetAttrString(m, "logging")) : Ref();
    Ref logger = logging ? Ref::steal(PyObject_CallMethod(logging, "getLogger", "O",
                                                          module_name.get()))
                         : Ref();
    if (set_global(m, "logger", logger) < 0) return -1;

    Ref re = Ref::steal(PyObject_GetAttrString(m, "re"));
    Ref pattern = re ? Ref::steal(PyObject_CallMethod(re, "compile", "s", env_var_pattern)) : Ref();
    Ref configuration = make_class(
        m, "Configuration", {nested.get()}, nullptr,
        {
            value("_ENV_VAR_PATTERN", pattern),
            class_method("_missing_env_vars", Configuration_missing_env_vars, "(cls, value)",
                         missing_env_vars_doc),
            class_method("_expand_cfg_value", Configuration_expand_cfg_value,
                         "(cls, value, *, section, key)", expand_cfg_value_doc),
            static_method("_expand_cfg_env_vars", Configuration_expand_cfg_env_vars, "(config)",
                          expand_cfg_env_vars_doc),
            method("copy", Configuration_copy, "(self)", copy_doc),
            method("__setitem__", Configuration_setitem, "(self, key, value)", setitem_doc),
            method("load_cfgs", Configuration_load_cfgs, "(self, *files)", load_cfgs_doc),
            method("load_yamls", Configuration_load_yamls, "(self, *files)", load_yamls_doc),
            method("load_entrypoint", Configuration_load_entrypoint, "(self, group)",
                   load_entrypoint_doc),
        });
    if (set_global(m, "Configuration", configuration) < 0) return -1;
    return register_rebuild_by_init(m, configuration);
}

}  // namespace

KORVO_MODULE(configuration, nullptr, exec_configuration)
