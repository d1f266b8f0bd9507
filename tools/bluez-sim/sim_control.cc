#include "sim_control.h"

#include <cstring>
#include <string>

namespace harlo::bluez_sim {

Result<std::unique_ptr<SimControl>, int> SimControl::create(sd_bus* bus, Adapters& adapters) {
  std::unique_ptr<SimControl> control(new SimControl(adapters));
  int r = sd_bus_add_object_vtable(bus, &control->objectSlot_, "/org/harlo/BluezSim",
                                   "org.harlo.BluezSim1", vtable(), control.get());
  if (r < 0) return fail(r);
  return control;
}

SimControl::~SimControl() { sd_bus_slot_unref(objectSlot_); }

const sd_bus_vtable* SimControl::vtable() {
  static const sd_bus_vtable table[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD_WITH_NAMES("AddAdapter", "", , "o", SD_BUS_PARAM(adapter),
                               &SimControl::onAddAdapter, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD_WITH_NAMES("RemoveAdapter", "o", SD_BUS_PARAM(adapter), "", ,
                               &SimControl::onRemoveAdapter, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};
  return table;
}

int SimControl::onAddAdapter(sd_bus_message* message, void* self, sd_bus_error*) {
  auto added = static_cast<SimControl*>(self)->adapters_.add(true);
  if (!added) {
    return sd_bus_reply_method_errorf(message, "org.harlo.BluezSim.Error.Failed", "%s",
                                      std::strerror(-added.error()));
  }
  return sd_bus_reply_method_return(message, "o", added.value().c_str());
}

int SimControl::onRemoveAdapter(sd_bus_message* message, void* self, sd_bus_error*) {
  const char* path = nullptr;
  int r = sd_bus_message_read(message, "o", &path);
  if (r < 0) return r;
  if (!static_cast<SimControl*>(self)->adapters_.remove(path)) {
    return sd_bus_reply_method_errorf(message, "org.harlo.BluezSim.Error.DoesNotExist",
                                      "No adapter at %s", path);
  }
  return sd_bus_reply_method_return(message, "");
}

}  // namespace harlo::bluez_sim
