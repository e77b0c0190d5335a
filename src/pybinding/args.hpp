// Binding of call arguments to parameters, then conversion of each.
//
// A method or constructor describes its parameters once, statically:
//
//     constexpr Params<2> kOpen{"PyFs.open", {"path", "mode"}};
//
// and binds a call with one converter (convert.hpp) per parameter:
//
//     std::string_view path, mode;
//     if (!bind_method(kOpen, args, nargs, kwnames, arg::Text{path}, arg::Text{mode}))
//         return nullptr;
//
// Every parameter may be given by keyword, and the first `positional` ones
// (all, unless said) by position too; the first `required` ones must be
// given. Parameters after the positional ones are keyword-only, and optional:
//
//     constexpr Params<1> kMade{"Made", {"size"}, /*required=*/0, /*positional=*/0};
//
// is `Made(*, size=...)`. Binding errors are TypeErrors worded as the
// interpreter words them for its own functions, with the qualified name in
// place of the function name. A TypeError from a converter is re-raised as
// "argument '<name>': <message>" with the original as its cause; any other
// conversion error passes through unchanged. A successful call allocates
// nothing: arguments are only looked at, never copied into a tuple or dict.
#pragma once

#include "pybinding/python.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <utility>

namespace halvorn::py {

template <std::size_t N>
struct Params {
    const char* qualname;  // "PyFs.open"; a constructor is named by its class alone
    std::array<const char*, N> names;
    std::size_t required = N;    // parameters after these may be left out
    std::size_t positional = N;  // parameters after these are keyword-only
};

namespace detail {

struct ParamList {
    const char* qualname;
    std::span<const char* const> names;
    std::size_t required;
    std::size_t positional;
};

template <std::size_t N>
constexpr ParamList param_list(const Params<N>& params) {
    return {params.qualname, params.names, params.required, params.positional};
}

// Fill `slots` (one per parameter, all null on entry) with borrowed
// references to the arguments; a parameter that was not given stays null.
// False with TypeError set if the call does not fit the parameters.
bool bind_vector(const ParamList& params, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** slots);
bool bind_tuple(const ParamList& params, PyObject* args, PyObject* kwargs, PyObject** slots);

// Re-raises a pending TypeError as the TypeError of argument `name`, with
// the original as its cause; leaves any other exception alone. Returns false.
bool blame_argument(const char* name);

template <class Converter>
bool convert_argument(const char* name, PyObject* value, Converter& convert) {
    if (value == nullptr) {
        // Not given: a converter that knows what absence means is told; the
        // others leave their target at the default the caller put there.
        if constexpr (requires { convert.absent(); }) convert.absent();
        return true;
    }
    // A converter whose errors other than TypeError name the argument
    // themselves is handed its name.
    if constexpr (requires { convert(value, name); })
        return convert(value, name) || blame_argument(name);
    else
        return convert(value) || blame_argument(name);
}

template <std::size_t N, class... Converters, std::size_t... I>
bool convert_all(const Params<N>& params, const std::array<PyObject*, N>& slots,
                 std::index_sequence<I...>, Converters&... converters) {
    // Left to right, stopping at the first failure.
    return (convert_argument(params.names[I], slots[I], converters) && ...);
}

}  // namespace detail

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS method, as the
// interpreter passes them: `nargs` positional arguments in `args`, followed
// by the values of the keywords named in the tuple `kwnames` (or null).
template <std::size_t N, class... Converters>
bool bind_method(const Params<N>& params, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, Converters&&... converters) {
    static_assert(sizeof...(Converters) == N, "one converter per parameter");
    std::array<PyObject*, N> slots{};
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(params.positional) &&
        params.positional == N) {
        // The common call, every argument by position: nothing to match.
        for (std::size_t i = 0; i < N; ++i)
            slots[i] = args[i];
    } else if (!detail::bind_vector(detail::param_list(params), args, nargs, kwnames,
                                    slots.data())) {
        return false;
    }
    return detail::convert_all(params, slots, std::index_sequence_for<Converters...>{},
                               converters...);
}

// Binds the arguments of a constructor (tp_new): a tuple of positional
// arguments and a dict of keywords, or null.
template <std::size_t N, class... Converters>
bool bind_constructor(const Params<N>& params, PyObject* args, PyObject* kwargs,
                      Converters&&... converters) {
    static_assert(sizeof...(Converters) == N, "one converter per parameter");
    std::array<PyObject*, N> slots{};
    if (!detail::bind_tuple(detail::param_list(params), args, kwargs, slots.data())) return false;
    return detail::convert_all(params, slots, std::index_sequence_for<Converters...>{},
                               converters...);
}

}  // namespace halvorn::py
