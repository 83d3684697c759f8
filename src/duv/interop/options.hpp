// A family's options, each declared once (name, default, annotation, constraint, the surfaces
// that take it and whether fit forwards it), from which the function signature, the
// estimators' __init__, their _parameter_constraints and fit's forwarding are made:
//
//     duv::OptionTable options{
//         duv::option("factor", 10.0).ann(duv::float_type()).constraint(positive),
//         duv::option("shuffle", true).constraint(duv::list_of("boolean")),
//         duv::option("sample_weight_mode", "passthrough").on(duv::kEstimators).not_forwarded(),
//     };
//     duv::def(m, "resample_augment", options.params(duv::kFunction, {duv::arg("X"), duv::arg("y")}), body);
//     cls.init(options.params(duv::kRegressor, {duv::arg("self"), duv::arg("estimator")}));
//     g["resample_augment"](X, y, **options.forwarded(duv::kRegressor, self));
#pragma once

#include "duv/interop/function.hpp"

#include <initializer_list>
#include <string>
#include <vector>

namespace duv {

// The surfaces an option appears on.
enum Surface : unsigned {
    kFunction = 1u << 0,    // the family's public function
    kRegressor = 1u << 1,   // the regressor's __init__
    kClassifier = 1u << 2,  // the classifier's __init__
    kEstimators = kRegressor | kClassifier,
    kEverywhere = kFunction | kEstimators,
};

class Option {
public:
    template <typename T> Option(const char *name, T &&value) : name_(name) {
        default_ = default_value(std::forward<T>(value));
    }
    // A required option (no default), such as a keyword-only `columns`.
    static Option required(const char *name);

    Option &ann(nb::handle annotation);
    // The list of constraints validate_params or _parameter_constraints holds for it.
    Option &constraint(nb::handle constraints);
    // Checked only where the surfaces say (the function may take an option unchecked).
    Option &constraint_on(unsigned surfaces, nb::handle constraints);
    // Only these surfaces take it (default: everywhere).
    Option &on(unsigned surfaces);
    // Keyword-only on these surfaces (default: positional-or-keyword).
    Option &keyword_only(unsigned surfaces = kEverywhere);
    // Another default on these surfaces.
    template <typename T> Option &default_on(unsigned surfaces, T &&value) {
        other_default_ = default_value(std::forward<T>(value));
        other_default_on_ = surfaces;
        return *this;
    }
    // fit does not pass it on to the function (it uses it itself).
    Option &not_forwarded();

    const std::string &name() const { return name_; }
    bool on_surface(unsigned s) const { return (surfaces_ & s) != 0; }
    bool forwarded() const { return forwarded_; }
    Param param(unsigned surface) const;
    nb::handle constraint(unsigned surface) const;

private:
    explicit Option(const char *name) : name_(name) {}

    std::string name_;
    nb::object default_, other_default_, annotation_, constraint_;
    unsigned other_default_on_ = 0, surfaces_ = kEverywhere, keyword_only_ = 0, constrained_on_ = kEverywhere;
    bool forwarded_ = true;
};

template <typename T> Option option(const char *name, T &&value) { return Option(name, std::forward<T>(value)); }

class OptionTable {
public:
    OptionTable(std::initializer_list<Option> options) : options_(options) {}

    // The parameters of `surface`: `leading`, the options in table order (or in `order`, by
    // name, where a surface lists them differently), then `trailing`.
    std::vector<Param> params(unsigned surface, std::vector<Param> leading, std::vector<Param> trailing = {}) const;
    std::vector<Param> params_in_order(unsigned surface, std::vector<Param> leading,
                                       std::initializer_list<const char *> order,
                                       std::vector<Param> trailing = {}) const;
    // `leading` then {name: constraints} of the options `surface` checks.
    nb::dict constraints(unsigned surface, nb::dict leading = nb::dict()) const;
    // {name: self.<name>} of the options fit forwards on `surface`.
    nb::dict forwarded(unsigned surface, nb::handle self) const;
    // As above, with the options named in `given` (on the surface or not) taking its values, in
    // table order: fit's own arguments (sample_weight) and what it worked out itself.
    nb::dict forwarded(unsigned surface, nb::handle self, const nb::dict &given) const;

    const Option &operator[](const char *name) const;

private:
    std::vector<Option> options_;
};

}  // namespace duv
