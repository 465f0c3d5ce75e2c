// pipewire_card: a laptop's sound card on the PipeWire that $PIPEWIRE_RUNTIME_DIR names, for machines
// without ALSA. It exports a device with one profile and two output routes (the speaker, and headphones
// behind a jack) and a sink of that card, which pipewire-pulse shows as a card with ports and as the
// sink's active port. A line on stdin moves the jack: "headphones" plugs them in (available, and the
// active route as a real card switches), "speaker" pulls them out. Ends at the end of its input.
#include <pipewire/impl-module.h>
#include <pipewire/pipewire.h>
#include <spa/monitor/utils.h>
#include <spa/param/param.h>
#include <spa/pod/builder.h>
#include <spa/pod/parser.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const spa_dict_item cardItems[] = {
    {"device.name", "alsa_card.pci-0000_00_1f.3"}, {"device.description", "内置音频"}, {"media.class", "Audio/Device"},
    {"device.api", "alsa"}, {"device.bus", "pci"}, {"device.form_factor", "internal"}, {"device.class", "sound"}};
const spa_dict cardProps = SPA_DICT_INIT_ARRAY(cardItems);

struct Card {
    pw_main_loop* loop = pw_main_loop_new(nullptr);
    pw_core* core = nullptr;
    spa_device device{};
    spa_hook_list hooks{};
    spa_param_info params[4] = {{SPA_PARAM_EnumProfile, SPA_PARAM_INFO_READ, 0, 0, {}},
                                {SPA_PARAM_Profile, SPA_PARAM_INFO_READ, 0, 0, {}},
                                {SPA_PARAM_EnumRoute, SPA_PARAM_INFO_READ, 0, 0, {}},
                                {SPA_PARAM_Route, SPA_PARAM_INFO_READWRITE, 0, 0, {}}};
    bool plugged = false;
    std::int32_t active = 0;  // 0 the speaker, 1 the headphones
    pw_proxy* sink = nullptr;
    spa_hook deviceListener{};
};

// A route of profile 0 to device 0 (the sink): as EnumRoute the list entry, as Route the active one.
spa_pod* route(spa_pod_builder* b, std::uint32_t id, std::int32_t index, const Card& card) {
    static const char* const names[][3] = {{"analog-output-speaker", "扬声器", "speaker"},
                                           {"analog-output-headphones", "耳机", "headphones"}};
    const std::int32_t zero = 0;
    spa_pod_frame object, info;
    spa_pod_builder_push_object(b, &object, SPA_TYPE_OBJECT_ParamRoute, id);
    spa_pod_builder_add(b, SPA_PARAM_ROUTE_index, SPA_POD_Int(index), SPA_PARAM_ROUTE_direction, SPA_POD_Id(SPA_DIRECTION_OUTPUT),
                        SPA_PARAM_ROUTE_name, SPA_POD_String(names[index][0]), SPA_PARAM_ROUTE_description,
                        SPA_POD_String(names[index][1]), SPA_PARAM_ROUTE_priority, SPA_POD_Int(100 * (index + 1)),
                        SPA_PARAM_ROUTE_available,
                        SPA_POD_Id(index == 0 || card.plugged ? SPA_PARAM_AVAILABILITY_yes : SPA_PARAM_AVAILABILITY_no), 0);
    spa_pod_builder_prop(b, SPA_PARAM_ROUTE_info, 0);
    spa_pod_builder_push_struct(b, &info);
    spa_pod_builder_add(b, SPA_POD_Int(1), SPA_POD_String("port.type"), SPA_POD_String(names[index][2]), 0);
    spa_pod_builder_pop(b, &info);
    if (id == SPA_PARAM_Route) {
        spa_pod_builder_add(b, SPA_PARAM_ROUTE_device, SPA_POD_Int(0), SPA_PARAM_ROUTE_profile, SPA_POD_Int(0), 0);
    } else {
        for (std::uint32_t key : {SPA_PARAM_ROUTE_profiles, SPA_PARAM_ROUTE_devices}) {
            spa_pod_builder_prop(b, key, 0);
            spa_pod_builder_array(b, sizeof(zero), SPA_TYPE_Int, 1, &zero);
        }
    }
    return static_cast<spa_pod*>(spa_pod_builder_pop(b, &object));
}

// Tells the listeners what the device is; a new serial of the routes has their readers enumerate them again.
void changed(Card& card) {
    for (int i : {2, 3}) card.params[i].flags ^= SPA_PARAM_INFO_SERIAL;
    spa_device_info info{SPA_VERSION_DEVICE_INFO, SPA_DEVICE_CHANGE_MASK_PROPS | SPA_DEVICE_CHANGE_MASK_PARAMS, 0,
                         &cardProps, card.params, SPA_N_ELEMENTS(card.params)};
    spa_device_emit_info(&card.hooks, &info);
}

int addListener(void* object, spa_hook* listener, const spa_device_events* events, void* data) {
    auto& card = *static_cast<Card*>(object);
    spa_hook_list save;
    spa_hook_list_isolate(&card.hooks, &save, listener, events, data);
    changed(card);
    spa_hook_list_join(&card.hooks, &save);
    return 0;
}

int sync(void* object, int seq) {
    spa_device_emit_result(&static_cast<Card*>(object)->hooks, seq, 0, 0, nullptr);
    return 0;
}

int enumParams(void* object, int seq, std::uint32_t id, std::uint32_t start, std::uint32_t max, const spa_pod*) {
    auto& card = *static_cast<Card*>(object);
    for (std::uint32_t index = start; index < start + max; ++index) {
        std::uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        spa_pod* param = nullptr;
        if (index == 0 && (id == SPA_PARAM_EnumProfile || id == SPA_PARAM_Profile)) {
            param = static_cast<spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamProfile, id, SPA_PARAM_PROFILE_index, SPA_POD_Int(0), SPA_PARAM_PROFILE_name,
                SPA_POD_String("output:analog-stereo"), SPA_PARAM_PROFILE_description, SPA_POD_String("模拟立体声输出"),
                SPA_PARAM_PROFILE_available, SPA_POD_Id(SPA_PARAM_AVAILABILITY_yes)));
        } else if (id == SPA_PARAM_EnumRoute && index < 2) {
            param = route(&b, id, std::int32_t(index), card);
        } else if (id == SPA_PARAM_Route && index == 0) {
            param = route(&b, id, card.active, card);
        }
        if (!param) break;
        spa_result_device_params result{id, index, index + 1, param};
        spa_device_emit_result(&card.hooks, seq, 0, SPA_RESULT_TYPE_DEVICE_PARAMS, &result);
    }
    return 0;
}

// WirePlumber sets the route it finds active again (with its volume); pactl set-sink-port chooses one.
int setParam(void* object, std::uint32_t id, std::uint32_t, const spa_pod* param) {
    auto& card = *static_cast<Card*>(object);
    std::int32_t index = 0;
    if (id != SPA_PARAM_Route || spa_pod_parse_object(param, SPA_TYPE_OBJECT_ParamRoute, nullptr, SPA_PARAM_ROUTE_index, SPA_POD_Int(&index)) < 0) return -EINVAL;
    card.active = std::clamp(index, 0, 1);
    return changed(card), 0;
}

const spa_device_methods methods = {SPA_VERSION_DEVICE_METHODS, addListener, sync, enumParams, setParam};

// Once the device has its id: its sink, a null sink that names the card and its device 0.
void deviceBound(void* data, std::uint32_t id) {
    auto& card = *static_cast<Card*>(data);
    const std::string deviceId = std::to_string(id);
    const spa_dict_item items[] = {
        {"factory.name", "support.null-audio-sink"}, {"node.name", "alsa_output.pci-0000_00_1f.3.analog-stereo"},
        {"node.description", "内置音频 模拟立体声"}, {"media.class", "Audio/Sink"}, {"audio.position", "FL,FR"},
        {"device.id", deviceId.c_str()}, {"card.profile.device", "0"}, {"device.api", "alsa"}, {"device.bus", "pci"},
        {"device.form_factor", "internal"}, {"device.class", "sound"}, {"device.profile.name", "analog-stereo"}};
    const spa_dict props = SPA_DICT_INIT_ARRAY(items);
    if (!card.sink) card.sink = static_cast<pw_proxy*>(pw_core_create_object(card.core, "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &props, 0));
}

void onInput(void* data, int fd, std::uint32_t) {
    auto& card = *static_cast<Card*>(data);
    char line[64] = {};
    if (read(fd, line, sizeof(line) - 1) <= 0) {
        pw_main_loop_quit(card.loop);
        return;
    }
    card.plugged = std::strncmp(line, "headphones", 10) == 0;
    card.active = card.plugged ? 1 : 0;
    changed(card);
}

}  // namespace

int main(int argc, char** argv) {
    pw_init(&argc, &argv);
    Card card;
    pw_context* context = pw_context_new(pw_main_loop_get_loop(card.loop), nullptr, 0);
    pw_context_load_module(context, "libpipewire-module-client-device", nullptr, nullptr);
    card.core = pw_context_connect(context, nullptr, 0);
    if (!card.core) return perror("pipewire_card: cannot connect to PipeWire"), 1;
    spa_hook_list_init(&card.hooks);
    card.device.iface = SPA_INTERFACE_INIT(SPA_TYPE_INTERFACE_Device, SPA_VERSION_DEVICE, &methods, &card);
    auto* device = static_cast<pw_proxy*>(pw_core_export(card.core, SPA_TYPE_INTERFACE_Device, &cardProps, &card.device, 0));
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    events.bound = deviceBound;
    pw_proxy_add_listener(device, &card.deviceListener, &events, &card);
    pw_loop_add_io(pw_main_loop_get_loop(card.loop), STDIN_FILENO, SPA_IO_IN | SPA_IO_HUP, false, onInput, &card);
    pw_main_loop_run(card.loop);
    if (card.sink) pw_proxy_destroy(card.sink);
    pw_proxy_destroy(device);
    pw_core_disconnect(card.core);
    pw_context_destroy(context);
    pw_main_loop_destroy(card.loop);
    pw_deinit();
}
