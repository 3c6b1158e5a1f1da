// MeshError: the one error value every component returns.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace korvo {

class MeshError {
public:
    // Declaration order is part of the contract.
    enum class Kind : std::uint8_t {
        AgentNotFound,
        AgentAlreadyRegistered,
        StateError,
        MigrationError,
        SerializationError,
        ChannelError,
    };

    // The interpreter exception class a variant maps to.
    enum class ExceptionClass : std::uint8_t { KeyError, ValueError, RuntimeError };

    static MeshError agent_not_found(std::string_view agent_type, std::string_view agent_id);
    static MeshError agent_already_registered(std::string_view agent_id);
    static MeshError state(std::string_view detail);
    static MeshError migration(std::string_view detail);
    static MeshError serialization(std::string_view detail);
    static MeshError channel(std::string_view detail);

    Kind kind() const noexcept { return kind_; }
    // AgentNotFound: the agent type; AgentAlreadyRegistered: the agent id; otherwise the detail.
    const std::string& first() const noexcept { return first_; }
    // AgentNotFound: the agent id; empty otherwise.
    const std::string& second() const noexcept { return second_; }

    // The variant's message with its placeholders filled verbatim.
    std::string message() const;
    ExceptionClass exception_class() const noexcept;

    friend bool operator==(const MeshError&, const MeshError&) = default;

private:
    MeshError(Kind kind, std::string first, std::string second = {})
        : kind_(kind), first_(std::move(first)), second_(std::move(second)) {}

    Kind kind_;
    std::string first_;
    std::string second_;
};

template <class T>
using Result = std::expected<T, MeshError>;

// Success with no value, or a MeshError.
using Status = std::expected<void, MeshError>;

inline std::unexpected<MeshError> fail(MeshError error) { return std::unexpected<MeshError>(std::move(error)); }

}  // namespace korvo
