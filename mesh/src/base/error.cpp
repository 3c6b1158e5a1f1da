#include "base/error.h"

namespace korvo {

MeshError MeshError::agent_not_found(std::string_view agent_type, std::string_view agent_id) {
    return MeshError(Kind::AgentNotFound, std::string(agent_type), std::string(agent_id));
}
MeshError MeshError::agent_already_registered(std::string_view agent_id) {
    return MeshError(Kind::AgentAlreadyRegistered, std::string(agent_id));
}
MeshError MeshError::state(std::string_view detail) { return MeshError(Kind::StateError, std::string(detail)); }
MeshError MeshError::migration(std::string_view detail) { return MeshError(Kind::MigrationError, std::string(detail)); }
MeshError MeshError::serialization(std::string_view detail) {
    return MeshError(Kind::SerializationError, std::string(detail));
}
MeshError MeshError::channel(std::string_view detail) { return MeshError(Kind::ChannelError, std::string(detail)); }

std::string MeshError::message() const {
    std::string out;
    switch (kind_) {
        case Kind::AgentNotFound:
            out.reserve(first_.size() + second_.size() + 36);
            out.append("Agent '").append(first_).append("/").append(second_).append("' not found in registry");
            break;
        case Kind::AgentAlreadyRegistered:
            out.reserve(first_.size() + 32);
            out.append("Agent '").append(first_).append("' is already registered");
            break;
        case Kind::StateError: out.append("State error: ").append(first_); break;
        case Kind::MigrationError: out.append("Migration error: ").append(first_); break;
        case Kind::SerializationError: out.append("Serialization error: ").append(first_); break;
        case Kind::ChannelError: out.append("Channel error: ").append(first_); break;
    }
    return out;
}

MeshError::ExceptionClass MeshError::exception_class() const noexcept {
    switch (kind_) {
        case Kind::AgentNotFound: return ExceptionClass::KeyError;
        case Kind::MigrationError:
        case Kind::SerializationError: return ExceptionClass::ValueError;
        case Kind::AgentAlreadyRegistered:
        case Kind::StateError:
        case Kind::ChannelError: break;
    }
    return ExceptionClass::RuntimeError;
}

}  // namespace korvo
