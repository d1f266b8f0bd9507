// AdapterTable: the Bluetooth adapters bluetoothd has, as its object manager
// last described them (each adapter's object path, address and power), and
// which of its announcements change them.
//
// The table is either unknown (nothing read yet, or forgotten because the
// service was lost) or known from an answer to GetManagedObjects and kept up
// to date by the signals that follow it. While unknown, signals change
// nothing.
//
// Signals that bluetoothd sent before its answer are dispatched only after
// the answer, and describe changes the answer already holds; replaying them
// would show older states for a moment. A signal is therefore taken only
// when its serial (bluetoothd numbers everything it sends, in order) comes
// after the answer's; once one does, every later signal is newer and is
// taken as it comes. Serials are compared modulo 2^32, as they wrap.
//
// A pure value, no bus: safe from any thread that owns it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace harlo::platform {

// What one message says of an adapter's org.bluez.Adapter1 properties; a
// property the message does not carry is empty.
struct AdapterProperties {
  std::optional<std::string> address;
  std::optional<bool> powered;
};

class AdapterTable final {
 public:
  struct Adapter {
    std::string path;     // its object path, "/org/bluez/hci0"
    std::string address;  // "AA:BB:CC:DD:EE:FF"; empty until told
    bool powered = false;
    bool operator==(const Adapter&) const = default;
  };

  // Starts over from an answer to GetManagedObjects: `adapters` are the
  // objects that have org.bluez.Adapter1, `answerSerial` the answer's serial.
  // The table is known from then on.
  void replace(const std::vector<std::pair<std::string, AdapterProperties>>& adapters,
               std::uint32_t answerSerial);

  // Forgets everything: the table is unknown until the next replace().
  void forget();

  // InterfacesAdded for an object with org.bluez.Adapter1: adds the adapter,
  // or updates it if it is known already.
  void added(const std::string& path, const AdapterProperties& properties, std::uint32_t serial);

  // InterfacesRemoved naming org.bluez.Adapter1: the adapter goes.
  void removed(const std::string& path, std::uint32_t serial);

  // PropertiesChanged of org.bluez.Adapter1: updates what it carries, for an
  // adapter the table has (others are ignored).
  void changed(const std::string& path, const AdapterProperties& properties, std::uint32_t serial);

  // Whether some adapter is present and powered; nothing while unknown.
  std::optional<bool> poweredAdapterPresent() const;

  // Every adapter, in the order first seen; empty while unknown.
  const std::vector<Adapter>& adapters() const { return adapters_; }

 private:
  // Whether a signal with `serial` is taken (the table is known and the
  // signal was sent after the answer).
  bool takes(std::uint32_t serial);
  Adapter* find(const std::string& path);
  Adapter& findOrAdd(const std::string& path);

  bool known_ = false;
  std::optional<std::uint32_t> staleUpTo_;  // the answer's serial, until a newer signal comes
  std::vector<Adapter> adapters_;
};

// What changed among the adapters between two readings of the table, in
// the order the log tells it: each adapter added (with its state) or whose
// power changed, in the order of `after`, then each one removed.
struct AdapterChange {
  enum class Kind { added, powerChanged, removed };
  Kind kind;
  AdapterTable::Adapter adapter;  // as it is now; as it was, for one removed
  bool operator==(const AdapterChange&) const = default;
};
std::vector<AdapterChange> adapterChanges(const std::vector<AdapterTable::Adapter>& before,
                                          const std::vector<AdapterTable::Adapter>& after);

// An adapter as the log names it: "/org/bluez/hci0 00:11:22:33:44:55 powered
// on" ("(no address)" while none is known).
std::string describeAdapter(const AdapterTable::Adapter& adapter);

}  // namespace harlo::platform
