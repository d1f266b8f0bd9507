#include "sdp_lookup.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "connect_wait.h"

namespace harlo {
namespace {

bdaddr_t toBdaddr(const BluetoothAddress& address) {
  bdaddr_t kernel{};
  static_assert(sizeof kernel.b == std::tuple_size_v<BluetoothAddress>);
  std::memcpy(kernel.b, address.data(), address.size());  // both least significant first
  return kernel;
}

struct SessionClose {
  void operator()(sdp_session_t* session) const { sdp_close(session); }
};
using Session = std::unique_ptr<sdp_session_t, SessionClose>;

// A list whose elements the list does not own.
struct ListFree {
  void operator()(sdp_list_t* list) const { sdp_list_free(list, nullptr); }
};
using List = std::unique_ptr<sdp_list_t, ListFree>;

// The records a search returned, each freed with the list.
struct RecordsFree {
  void operator()(sdp_list_t* records) const {
    sdp_list_free(records,
                  [](void* record) { sdp_record_free(static_cast<sdp_record_t*>(record)); });
  }
};
using Records = std::unique_ptr<sdp_list_t, RecordsFree>;

// The RFCOMM channel in a record's protocol descriptor list; 0 when it has
// none.
int rfcommChannelOf(const sdp_record_t* record) {
  sdp_list_t* protocols = nullptr;
  if (sdp_get_access_protos(record, &protocols) < 0) return 0;
  const int channel = sdp_get_proto_port(protocols, RFCOMM_UUID);
  // A list of lists whose data elements belong to the record.
  sdp_list_foreach(
      protocols,
      [](void* inner, void*) { sdp_list_free(static_cast<sdp_list_t*>(inner), nullptr); }, nullptr);
  sdp_list_free(protocols, nullptr);
  return channel;
}

std::string failure(const char* step, int error) {
  return std::string(step) + ": " + std::strerror(error);
}

}  // namespace

Result<std::uint8_t, std::string> findRFCOMMChannel(const ClientOptions& options) {
  const bdaddr_t local = options.local ? toBdaddr(*options.local) : bdaddr_t{};
  const bdaddr_t remote = toBdaddr(options.remote);
  const std::string service = "service " + formatServiceUuid(options.service) + " on " +
                              formatBluetoothAddress(options.remote);

  Session session(sdp_connect(&local, &remote, SDP_NON_BLOCKING));
  if (!session) return fail(failure("SDP connect", errno));
  if (int error = finishConnect(sdp_get_socket(session.get()), options.connectTimeout)) {
    return fail(failure("SDP connect", error));
  }

  uuid_t uuid;
  sdp_uuid128_create(&uuid, options.service.data());
  std::uint16_t protocolList = SDP_ATTR_PROTO_DESC_LIST;
  const List search(sdp_list_append(nullptr, &uuid));
  const List attributes(sdp_list_append(nullptr, &protocolList));
  if (!search || !attributes) return fail(failure("SDP search", ENOMEM));
  sdp_list_t* found = nullptr;
  errno = 0;
  const int status = sdp_service_search_attr_req(session.get(), search.get(),
                                                 SDP_ATTR_REQ_INDIVIDUAL, attributes.get(), &found);
  const Records records(found);
  if (status < 0) {
    // The library leaves errno alone when the server answers with an error.
    if (errno == 0)
      return fail("SDP search: error response from " + formatBluetoothAddress(options.remote));
    return fail(failure("SDP search", errno));
  }
  if (!records) return fail("no " + service);

  for (const sdp_list_t* entry = records.get(); entry != nullptr; entry = entry->next) {
    const int channel = rfcommChannelOf(static_cast<const sdp_record_t*>(entry->data));
    if (channel >= 1 && channel <= 30) return static_cast<std::uint8_t>(channel);
  }
  return fail(service + " has no RFCOMM channel");
}

}  // namespace harlo
