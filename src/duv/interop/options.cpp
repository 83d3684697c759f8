#include "duv/interop/options.hpp"

#include <stdexcept>

namespace duv {

Option Option::required(const char *name) { return Option(name); }

Option &Option::ann(nb::handle annotation) {
    annotation_ = nb::borrow(annotation);
    return *this;
}

Option &Option::constraint(nb::handle constraints) { return constraint_on(kEverywhere, constraints); }

Option &Option::constraint_on(unsigned surfaces, nb::handle constraints) {
    constraint_ = nb::borrow(constraints);
    constrained_on_ = surfaces;
    return *this;
}

Option &Option::on(unsigned surfaces) {
    surfaces_ = surfaces;
    return *this;
}

Option &Option::keyword_only(unsigned surfaces) {
    keyword_only_ = surfaces;
    return *this;
}

Option &Option::not_forwarded() {
    forwarded_ = false;
    return *this;
}

Param Option::param(unsigned surface) const {
    Param p{name_, (keyword_only_ & surface) ? Kind::KeywordOnly : Kind::PositionalOrKeyword, default_, annotation_};
    if (other_default_on_ & surface) p.default_ = other_default_;
    return p;
}

nb::handle Option::constraint(unsigned surface) const {
    return (constrained_on_ & surface) ? nb::handle(constraint_) : nb::handle();
}

std::vector<Param> OptionTable::params(unsigned surface, std::vector<Param> leading,
                                       std::vector<Param> trailing) const {
    for (const Option &o : options_)
        if (o.on_surface(surface)) leading.push_back(o.param(surface));
    for (Param &p : trailing) leading.push_back(std::move(p));
    return leading;
}

std::vector<Param> OptionTable::params_in_order(unsigned surface, std::vector<Param> leading,
                                                std::initializer_list<const char *> order,
                                                std::vector<Param> trailing) const {
    for (const char *name : order) {
        const Option &o = (*this)[name];
        if (!o.on_surface(surface)) throw std::logic_error("option '" + o.name() + "' is not on this surface");
        leading.push_back(o.param(surface));
    }
    for (Param &p : trailing) leading.push_back(std::move(p));
    return leading;
}

nb::dict OptionTable::constraints(unsigned surface, nb::dict leading) const {
    for (const Option &o : options_)
        if (o.on_surface(surface) && o.constraint(surface).is_valid())
            leading[o.name().c_str()] = o.constraint(surface);
    return leading;
}

nb::dict OptionTable::forwarded(unsigned surface, nb::handle self) const {
    nb::dict kwargs;
    for (const Option &o : options_)
        if (o.on_surface(surface) && o.forwarded()) kwargs[o.name().c_str()] = self.attr(o.name().c_str());
    return kwargs;
}

nb::dict OptionTable::forwarded(unsigned surface, nb::handle self, const nb::dict &given) const {
    nb::dict kwargs;
    for (const Option &o : options_) {
        const char *name = o.name().c_str();
        if (given.contains(name))
            kwargs[name] = given[name];
        else if (o.on_surface(surface) && o.forwarded())
            kwargs[name] = self.attr(name);
    }
    return kwargs;
}

const Option &OptionTable::operator[](const char *name) const {
    for (const Option &o : options_)
        if (o.name() == name) return o;
    throw std::logic_error(std::string("no option '") + name + "' in the table");
}

}  // namespace duv
