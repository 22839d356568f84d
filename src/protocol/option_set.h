#pragma once

#include <initializer_list>
#include <type_traits>

namespace tarvello {

// A set of flag bits over an unsigned raw value, with the usual set algebra.
// Derived types name their members as static constexpr instances.
template <class Derived, class Raw>
struct OptionSet {
    static_assert(std::is_unsigned_v<Raw>);
    using RawValue = Raw;
    Raw rawValue = 0;

    constexpr OptionSet() = default;
    constexpr explicit OptionSet(Raw raw) : rawValue(raw) {}
    constexpr OptionSet(std::initializer_list<Derived> members) {
        for (auto m : members) rawValue = static_cast<Raw>(rawValue | m.rawValue);
    }

    static constexpr Derived fromRaw(Raw raw) {
        Derived d;
        d.rawValue = raw;
        return d;
    }

    constexpr bool empty() const { return rawValue == 0; }
    constexpr bool contains(Derived m) const { return (rawValue & m.rawValue) == m.rawValue; }
    constexpr Derived unionWith(Derived o) const { return fromRaw(static_cast<Raw>(rawValue | o.rawValue)); }
    constexpr Derived intersection(Derived o) const {
        return fromRaw(static_cast<Raw>(rawValue & o.rawValue));
    }
    constexpr Derived symmetricDifference(Derived o) const {
        return fromRaw(static_cast<Raw>(rawValue ^ o.rawValue));
    }
    constexpr void insert(Derived m) { rawValue = static_cast<Raw>(rawValue | m.rawValue); }
    constexpr void remove(Derived m) { rawValue = static_cast<Raw>(rawValue & ~m.rawValue); }
    constexpr bool isSubset(Derived o) const { return (rawValue & ~o.rawValue) == 0; }
    constexpr bool isDisjoint(Derived o) const { return (rawValue & o.rawValue) == 0; }

    friend constexpr bool operator==(const OptionSet& a, const OptionSet& b) {
        return a.rawValue == b.rawValue;
    }
    friend constexpr Derived operator|(Derived a, Derived b) { return a.unionWith(b); }
    friend constexpr Derived operator&(Derived a, Derived b) { return a.intersection(b); }
};

}  // namespace tarvello
