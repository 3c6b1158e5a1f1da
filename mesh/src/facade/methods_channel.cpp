// The topic method: its parameters, docstring and body.
#include "facade/mesh_type.h"

namespace korvo::facade {
namespace {

struct Publish {
    static constexpr Signature sig = signature("publish", str("topic"), str("payload_json"));
    static constexpr char doc[] = R"(Publish a message to a topic.

Args:
    topic:        Topic name string.
    payload_json: JSON-encoded message payload.

Returns:
    Number of active receivers that received the message.)";

    static PyObject* call(MeshFields& mesh, const Args& a) {
        const bool long_text = a[1].text.size() >= kReleaseFromBytes;
        // A str argument is well-formed UTF-8: the check need not look at its strings' bytes.
        return int_or_raise(
            released_if(long_text, [&] { return mesh.channel.publish(a[0].text, a[1].text, json::Source::Utf8); }));
    }
};

constexpr auto kMethods = methods<Publish>();

}  // namespace

std::span<const Method> channel_methods() noexcept { return kMethods; }

}  // namespace korvo::facade
