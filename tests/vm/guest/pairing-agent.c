/* harlo-vm-agent: the guest's pairing agent, as a desktop user who accepts
 * every pairing would be. Linux 6.12 asks user space to confirm every "just
 * works" pairing over LE (Secure Connections), on both sides, and
 * bluetoothd refuses it when no agent is registered. This agent registers
 * as bluetoothd's default one (NoInputNoOutput), accepts every pairing
 * (RequestConfirmation, RequestAuthorization) and refuses every service
 * authorization (AuthorizeService), so that only trusted devices still
 * reach a service that asks for authorization. It prints one line per
 * request on standard output and runs until it is killed.
 *
 * Built by tests/vm/build-image; no part of the helper. */
#include <stdio.h>
#include <stdlib.h>
#include <systemd/sd-bus.h>

static const char* const agent_path = "/harlo/vm/agent";

static int accept_pairing(sd_bus_message* call, void* userdata, sd_bus_error* error) {
  (void)userdata;
  (void)error;
  const char* device = NULL;
  if (sd_bus_message_read_basic(call, 'o', &device) < 0) device = "?";
  printf("pairing accepted: %s %s\n", sd_bus_message_get_member(call), device);
  fflush(stdout);
  return sd_bus_reply_method_return(call, "");
}

static int refuse(sd_bus_message* call, void* userdata, sd_bus_error* error) {
  (void)userdata;
  (void)error;
  printf("refused: %s\n", sd_bus_message_get_member(call));
  fflush(stdout);
  return sd_bus_reply_method_errorf(call, "org.bluez.Error.Rejected", "refused by the test agent");
}

static int done(sd_bus_message* call, void* userdata, sd_bus_error* error) {
  (void)userdata;
  (void)error;
  printf("%s\n", sd_bus_message_get_member(call));
  fflush(stdout);
  return sd_bus_reply_method_return(call, "");
}

static const sd_bus_vtable agent_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Release", "", "", done, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Cancel", "", "", done, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestConfirmation", "ou", "", accept_pairing, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestAuthorization", "o", "", accept_pairing, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AuthorizeService", "os", "", refuse, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestPinCode", "o", "s", refuse, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestPasskey", "o", "u", refuse, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("DisplayPinCode", "os", "", done, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("DisplayPasskey", "ouq", "", done, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

static int fail(const char* what, int r) {
  fprintf(stderr, "harlo-vm-agent: %s failed: %d\n", what, r);
  return 1;
}

int main(void) {
  sd_bus* bus = NULL;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int r = sd_bus_open_system(&bus);
  if (r < 0) return fail("connecting to the system bus", r);
  r = sd_bus_add_object_vtable(bus, NULL, agent_path, "org.bluez.Agent1", agent_vtable, NULL);
  if (r < 0) return fail("exporting the agent", r);
  r = sd_bus_call_method(bus, "org.bluez", "/org/bluez", "org.bluez.AgentManager1", "RegisterAgent",
                         &error, NULL, "os", agent_path, "NoInputNoOutput");
  if (r < 0) return fail(error.message != NULL ? error.message : "RegisterAgent", r);
  r = sd_bus_call_method(bus, "org.bluez", "/org/bluez", "org.bluez.AgentManager1",
                         "RequestDefaultAgent", &error, NULL, "o", agent_path);
  if (r < 0) return fail(error.message != NULL ? error.message : "RequestDefaultAgent", r);
  printf("registered\n");
  fflush(stdout);
  for (;;) {
    r = sd_bus_process(bus, NULL);
    if (r < 0) return fail("processing the bus", r);
    if (r > 0) continue;
    r = sd_bus_wait(bus, (uint64_t)-1);
    if (r < 0) return fail("waiting on the bus", r);
  }
}
