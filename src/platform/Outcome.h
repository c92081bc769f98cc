#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <utility>
#include <variant>

namespace platform {

// Windows error numbers (HRESULTs) that callers test for.
namespace hr {
inline constexpr std::uint32_t PathNotFound = 0x80070003;     // ERROR_PATH_NOT_FOUND
inline constexpr std::uint32_t AccessDenied = 0x80070005;     // ERROR_ACCESS_DENIED
inline constexpr std::uint32_t AlreadyExists = 0x800700B7;    // ERROR_ALREADY_EXISTS
inline constexpr std::uint32_t PropertyNotFound = 0x8000500D; // E_ADS_PROPERTY_NOT_FOUND
inline constexpr std::uint32_t BadPathname = 0x80005000;      // E_ADS_BAD_PATHNAME
inline constexpr std::uint32_t RpcUnavailable = 0x800706BA;   // RPC_S_SERVER_UNAVAILABLE
inline constexpr std::uint32_t InvalidArgument = 0x80070057;  // E_INVALIDARG
inline constexpr std::uint32_t ServiceNotActive = 0x80070426; // ERROR_SERVICE_NOT_ACTIVE
inline constexpr std::uint32_t Fail = 0x80004005;             // E_FAIL
} // namespace hr

// An error as the platform reports it: the error number and its text.
struct Error {
    std::uint32_t number = hr::Fail;
    QString text;
};

// The result of a platform operation: a value, or the error that stopped it.
// Nothing throws across the platform seam.
template <typename T> class Outcome {
public:
    Outcome(T value) : m_state(std::move(value)) {}
    Outcome(Error error) : m_state(std::move(error)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(m_state); }
    const T& value() const& { return std::get<0>(m_state); }
    T&& value() && { return std::get<0>(std::move(m_state)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const Error& error() const { return std::get<1>(m_state); }
    T valueOr(T fallback) const& { return ok() ? value() : std::move(fallback); }
    T valueOr(T fallback) && { return ok() ? std::move(value()) : std::move(fallback); }

private:
    std::variant<T, Error> m_state;
};

template <> class Outcome<void> {
public:
    Outcome() = default;
    Outcome(Error error) : m_error(std::move(error)) {}

    bool ok() const { return !m_error.has_value(); }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return *m_error; }

private:
    std::optional<Error> m_error;
};

using Status = Outcome<void>;

} // namespace platform
