#include "input/input_methods.h"

#include <limits>
#include <string>

#include "input/input_execution.h"
#include "input/key_sequence.h"
#include "vision_core/rounding.h"

namespace pelagon2::input {
namespace {

namespace action = platform::action;
using platform::InputActionList;
using platform::MouseButton;

const Json* member(const Json& params, const char* name) {
  if (!params.is_object()) return nullptr;
  const auto it = params.find(name);
  return it == params.end() ? nullptr : &*it;
}

Expected<std::int64_t> number_param(const Json& params, const char* name) {
  const Json* value = member(params, name);
  const std::optional<std::int64_t> number = value ? number_as_int64(*value) : std::nullopt;
  if (!number) return make_error(std::string("bad_params: missing or non-numeric '") + name + "'");
  return *number;
}

Outcome run(Expected<InputActionList> actions, platform::Platform& platform) {
  if (!actions) return std::move(actions).take_error();
  if (actions->empty()) return Json(true);
  if (!platform.input) {
    return make_error("input_backend_unavailable: no connection could be established: (no input backend)");
  }
  Done done = execute_input_actions(*actions, *platform.input);
  if (!done) return std::move(done).take_error();
  return Json(true);
}

}  // namespace

std::optional<std::int64_t> number_as_int64(const Json& value) {
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return number > kMax ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(number);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) return vision_core::saturate_to<std::int64_t>(value.get<double>());
  return std::nullopt;
}

Expected<InputActionList> mouse_event_actions(const Json& params) {
  const Expected<std::int64_t> type = number_param(params, "type");
  if (!type) return make_error(type.error());
  if (*type < 0) return make_error("bad_params: 'type' out of range");
  if (*type > 7) return make_error("bad_params: unknown mouse event type " + std::to_string(*type));
  const Expected<std::int64_t> button_index = number_param(params, "button");
  if (!button_index) return make_error(button_index.error());
  if (*button_index < 0) return make_error("bad_params: 'button' out of range");
  if (*button_index > 2) return make_error("bad_params: unknown mouse button " + std::to_string(*button_index));
  const Expected<std::int64_t> x = number_param(params, "x");
  if (!x) return make_error(x.error());
  const Expected<std::int64_t> y = number_param(params, "y");
  if (!y) return make_error(y.error());

  const auto b = static_cast<MouseButton>(*button_index);
  InputActionList actions{action::MouseMove{low_32_bits(*x), low_32_bits(*y)}};
  const auto click = [&] {
    actions.emplace_back(action::ButtonDown{b});
    actions.emplace_back(action::ButtonUp{b});
  };
  const auto click_with = [&](platform::Modifier m) {
    actions.emplace_back(action::ModifierDown{m});
    click();
    actions.emplace_back(action::ModifierUp{m});
  };
  switch (*type) {
    case 0:
      break;
    case 1:
      actions.emplace_back(action::ButtonDown{b});
      break;
    case 2:
      actions.emplace_back(action::ButtonUp{b});
      break;
    case 3:
      click();
      break;
    case 4:
      click();
      actions.emplace_back(action::SleepMs{10});
      click();
      break;
    case 5:
      click_with(platform::Modifier::Ctrl);
      break;
    case 6:
      click_with(platform::Modifier::Shift);
      break;
    default:
      click();
      click();
      click();
      break;
  }
  return actions;
}

Expected<InputActionList> mouse_wheel_actions(const Json& params) {
  const Expected<std::int64_t> delta_x = number_param(params, "deltaX");
  if (!delta_x) return make_error(delta_x.error());
  const Expected<std::int64_t> delta_y = number_param(params, "deltaY");
  if (!delta_y) return make_error(delta_y.error());
  // deltaX turns the vertical wheel and deltaY the horizontal one.
  InputActionList actions;
  if (const std::int32_t lines = low_32_bits(*delta_x); lines != 0) actions.emplace_back(action::WheelVertical{lines});
  if (const std::int32_t lines = low_32_bits(*delta_y); lines != 0) {
    actions.emplace_back(action::WheelHorizontal{lines});
  }
  return actions;
}

Expected<InputActionList> text_actions(const Json& params) {
  const Json* text = member(params, "text");
  if (text == nullptr || !text->is_string()) return make_error("bad_params: missing 'text'");
  return compile_key_sequence(text->get_ref<const std::string&>());
}

Outcome send_mouse_event(const Json& params, platform::Platform& platform) {
  return run(mouse_event_actions(params), platform);
}

Outcome send_mouse_wheel_event(const Json& params, platform::Platform& platform) {
  return run(mouse_wheel_actions(params), platform);
}

Outcome send_text(const Json& params, platform::Platform& platform) { return run(text_actions(params), platform); }

}  // namespace pelagon2::input
