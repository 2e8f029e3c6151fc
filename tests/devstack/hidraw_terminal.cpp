#include "devstack/hidraw_terminal.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <umockdev.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace rv270devstack {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kReplyWaitMs = 2000;   // the simulator's `A`/`N`, `s` and `g` answers
constexpr size_t kMaxFrame = 0xFFFF;
// Reports hidraw keeps per open file (HIDRAW_BUFFER_SIZE); when they are all unread, it
// drops the newest.
constexpr size_t kQueuedReports = 64;

// ---- Frames of the simulator's USB transport ----

bool SendAll(int fd, const uint8_t* data, size_t n) {
  while (n > 0) {
    const ssize_t sent = send(fd, data, n, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

bool RecvAll(int fd, uint8_t* data, size_t n) {
  while (n > 0) {
    const ssize_t got = recv(fd, data, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool SendFrame(int fd, char type, const Bytes& payload) {
  if (payload.size() > kMaxFrame) return false;
  Bytes frame{static_cast<uint8_t>(type), static_cast<uint8_t>(payload.size() >> 8),
              static_cast<uint8_t>(payload.size() & 0xFF)};
  frame.insert(frame.end(), payload.begin(), payload.end());
  return SendAll(fd, frame.data(), frame.size());
}

bool RecvFrame(int fd, char& type, Bytes& payload) {
  uint8_t head[3];
  if (!RecvAll(fd, head, sizeof(head))) return false;
  type = static_cast<char>(head[0]);
  payload.assign((static_cast<size_t>(head[1]) << 8) | head[2], 0);
  return payload.empty() || RecvAll(fd, payload.data(), payload.size());
}

// A TCP connection to "127.0.0.1:PORT"; -1 when the address is not loopback or nobody listens.
int ConnectLoopback(const std::string& address) {
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos || address.substr(0, colon) != "127.0.0.1") return -1;
  const int port = std::atoi(address.c_str() + colon + 1);
  if (port <= 0 || port > 65535) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
    close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return fd;
}

// Report lengths of a descriptor without report ids: the report count of the first
// main item of each kind times its report size (enough for the terminal's descriptor
// and for test devices built like it).
struct ReportLengths {
  size_t input = 0, output = 0, feature = 0;
};
ReportLengths LengthsOf(const Bytes& d) {
  ReportLengths lengths;
  size_t size = 0, count = 0;
  for (size_t i = 0; i < d.size();) {
    const uint8_t prefix = d[i];
    const size_t n = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (i + 1 + n > d.size()) break;
    uint32_t value = 0;
    for (size_t k = 0; k < n; ++k) value |= static_cast<uint32_t>(d[i + 1 + k]) << (8 * k);
    switch (prefix & 0xFC) {
      case 0x74: size = value; break;   // report size
      case 0x94: count = value; break;  // report count
      case 0x80: if (!lengths.input) lengths.input = size * count / 8; break;
      case 0x90: if (!lengths.output) lengths.output = size * count / 8; break;
      case 0xB0: if (!lengths.feature) lengths.feature = size * count / 8; break;
      default: break;
    }
    i += 1 + n;
  }
  return lengths;
}

struct Node;

// One open of a node: its connection to the simulator and the reports received on it.
struct Link {
  std::mutex closing;  // CloseLink from an unplug and from the client's close
  int sock = -1;
  bool connected = false;
  std::thread reader;
  std::deque<Bytes> reports;
  bool replyReady = false;
  char replyType = 0;
  Bytes reply;
};

struct Node {
  TerminalBed::Impl* bed = nullptr;
  int number = 0;
  DeviceSpec spec;
  ReportLengths lengths;
  std::string devnode;     // "/dev/hidrawN"
  std::string usbPath;     // sysfs path of the USB device
  std::string ifacePath;   // of its interface
  std::string hidPath;     // of the HID device
  std::string hidrawPath;  // of the hidraw node
  UMockdevIoctlBase* handler = nullptr;

  mutable std::mutex m;
  std::condition_variable cv;
  int master = -1;    // the node's pseudo-terminal, master side (ours to close)
  int pending = 0;    // readiness bytes written and not yet consumed by a read
  bool gone = false;
  int failNextErr = 0;
  size_t shortNext = 0;
  uint64_t dropped = 0;  // reports that found the open file's queue full
  std::map<UMockdevIoctlClient*, std::shared_ptr<Link>> links;

  // Keeps one readiness byte on the terminal while some link has a report.
  void UpdateReadinessLocked() {
    if (gone || master < 0 || pending > 0) return;
    bool any = failNextErr != 0;
    for (const auto& entry : links) any = any || !entry.second->reports.empty();
    if (!any) return;
    const uint8_t mark = 'r';
    if (write(master, &mark, 1) == 1) pending = 1;
  }

  void ReaderLoop(std::shared_ptr<Link> link, int sock) {
    char type = 0;
    Bytes payload;
    while (RecvFrame(sock, type, payload)) {
      std::lock_guard<std::mutex> lock(m);
      if (type == 'R') {
        if (link->reports.size() < kQueuedReports) {
          link->reports.push_back(payload);
        } else {
          ++dropped;
        }
        UpdateReadinessLocked();
      } else {
        link->replyReady = true;
        link->replyType = type;
        link->reply = payload;
        cv.notify_all();
      }
    }
    std::lock_guard<std::mutex> lock(m);
    link->connected = false;
    cv.notify_all();
  }

  // Ends a link's connection (the simulator then sees the link closed). Called without
  // the lock.
  static void CloseLink(const std::shared_ptr<Link>& link) {
    std::lock_guard<std::mutex> closing(link->closing);
    if (link->sock >= 0) shutdown(link->sock, SHUT_RDWR);
    if (link->reader.joinable()) link->reader.join();
    if (link->sock >= 0) close(link->sock);
    link->sock = -1;
    link->connected = false;
  }

  // Opens the simulator link of a client on its first use; a link the simulator closed
  // is opened again (the simulator may have been restarted). With the lock held.
  bool EnsureConnectedLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Link>& link) {
    if (link->connected) return true;
    if (spec.simAddress.empty() || gone) return false;
    if (link->sock >= 0) {
      lock.unlock();
      CloseLink(link);
      lock.lock();
      if (gone) return false;
    }
    const int sock = ConnectLoopback(spec.simAddress);
    if (sock < 0) return false;
    // Set with the lock held and before `gone` can be set: an unplug closes what it finds.
    link->sock = sock;
    link->connected = true;
    link->replyReady = false;
    link->reader = std::thread(&Node::ReaderLoop, this, link, sock);
    Bytes answer;
    char type = 0;
    if (SendFrame(sock, 'O', Bytes{spec.recordIndex}) && AwaitReplyLocked(lock, link, type, answer) && type == 'A') {
      return true;
    }
    lock.unlock();
    CloseLink(link);
    lock.lock();
    return false;
  }

  bool AwaitReplyLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Link>& link, char& type,
                        Bytes& payload) {
    const bool got = cv.wait_for(lock, std::chrono::milliseconds(kReplyWaitMs),
                                 [&] { return link->replyReady || !link->connected; });
    if (!got || !link->replyReady) return false;
    link->replyReady = false;
    type = link->replyType;
    payload = link->reply;
    return true;
  }

  std::shared_ptr<Link> LinkOf(UMockdevIoctlClient* client) {
    auto it = links.find(client);
    return it == links.end() ? nullptr : it->second;
  }

  // A feature report exchange: `S` answered by `s`, or `G` answered by `g`.
  long Feature(UMockdevIoctlClient* client, bool set, uint8_t* report, size_t length, int& err) {
    std::unique_lock<std::mutex> lock(m);
    std::shared_ptr<Link> link = LinkOf(client);
    err = EIO;
    if (gone) err = ENODEV;
    if (gone || !link || length == 0 || !EnsureConnectedLocked(lock, link)) return -1;
    Bytes ask = set ? Bytes(report, report + length)
                    : Bytes{report[0], static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length & 0xFF)};
    if (!SendFrame(link->sock, set ? 'S' : 'G', ask)) return -1;
    char type = 0;
    Bytes answer;
    if (!AwaitReplyLocked(lock, link, type, answer)) return -1;
    if (set) return type == 's' && answer.size() == 1 && answer[0] == 1 ? static_cast<long>(length) : -1;
    if (type != 'g' || answer.empty()) return -1;
    const size_t n = std::min(answer.size(), length);
    std::memcpy(report, answer.data(), n);
    return static_cast<long>(n);
  }
};

// Copies `text` (terminated, cut to `room`) into the ioctl's buffer; the length written.
long PutText(UMockdevIoctlData* out, size_t room, const std::string& text) {
  if (room == 0) return 0;
  const size_t n = std::min(text.size() + 1, room);
  std::memcpy(out->data, text.c_str(), n - 1);
  out->data[n - 1] = 0;
  return static_cast<long>(n);
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  Node* node = static_cast<Node*>(user);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const size_t size = _IOC_SIZE(request);
  {
    std::lock_guard<std::mutex> lock(node->m);
    if (node->gone) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return TRUE;
    }
  }
  auto resolve = [&](size_t n) { return umockdev_ioctl_data_resolve(arg, 0, n, nullptr); };
  long result = -1;
  int err = EINVAL;
  UMockdevIoctlData* data = nullptr;
  if (request == HIDIOCGRAWINFO) {
    if ((data = resolve(sizeof(hidraw_devinfo))) != nullptr) {
      hidraw_devinfo info{};
      info.bustype = 3;  // BUS_USB
      info.vendor = static_cast<int16_t>(node->spec.vendorId);
      info.product = static_cast<int16_t>(node->spec.productId);
      std::memcpy(data->data, &info, sizeof(info));
      result = 0;
    }
  } else if (request == HIDIOCGRDESCSIZE) {
    if ((data = resolve(sizeof(int))) != nullptr) {
      const int n = static_cast<int>(node->spec.descriptor.size());
      std::memcpy(data->data, &n, sizeof(n));
      result = 0;
    }
  } else if (request == HIDIOCGRDESC) {
    if ((data = resolve(sizeof(hidraw_report_descriptor))) != nullptr) {
      uint32_t want = 0;
      std::memcpy(&want, data->data, sizeof(want));
      const Bytes& d = node->spec.descriptor;
      if (want <= HID_MAX_DESCRIPTOR_SIZE) {
        std::memcpy(data->data + sizeof(uint32_t), d.data(), std::min<size_t>(want, d.size()));
        result = 0;
      }
    }
  } else if (_IOC_TYPE(request) == 'H' && size > 0 &&
             (_IOC_NR(request) == 0x04 || _IOC_NR(request) == 0x05 || _IOC_NR(request) == 0x08)) {
    if ((data = resolve(size)) != nullptr) {
      char phys[64];
      std::snprintf(phys, sizeof(phys), "usb-0000:00:14.0-%d/input0", node->number + 1);
      const std::string text = _IOC_NR(request) == 0x04 ? node->spec.name
                               : _IOC_NR(request) == 0x05 ? std::string(phys)
                                                         : std::string("RV270SIM") + std::to_string(node->number);
      result = PutText(data, size, text);
    }
  } else if (_IOC_TYPE(request) == 'H' && size > 0 && (_IOC_NR(request) == 0x06 || _IOC_NR(request) == 0x07)) {
    if ((data = resolve(size)) != nullptr) {
      result = node->Feature(client, _IOC_NR(request) == 0x06, data->data, size, err);
    }
  } else {
    err = ENOTTY;
  }
  if (data) g_object_unref(data);
  umockdev_ioctl_client_complete(client, result, result < 0 ? err : 0);
  return TRUE;
}

gboolean OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  Node* node = static_cast<Node*>(user);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::unique_lock<std::mutex> lock(node->m);
  // The client consumes the readiness byte with a read of the terminal itself (also
  // when the node is gone but not hung up yet, so that it stops polling readable).
  if (node->pending > 0 && node->master >= 0) {
    lock.unlock();
    int err = 0;
    const int drained = umockdev_ioctl_client_execute(client, &err, nullptr);
    lock.lock();
    if (drained > 0) node->pending = std::max(0, node->pending - drained);
  }
  long result = -1;
  int err = EAGAIN;
  std::shared_ptr<Link> link = node->LinkOf(client);
  if (node->gone) {
    err = EIO;
  } else if (node->failNextErr != 0) {
    err = node->failNextErr;
    node->failNextErr = 0;
  } else if (link) {
    node->EnsureConnectedLocked(lock, link);
    if (!link->reports.empty()) {
      // hidraw hands out the report without the id byte when the device uses no ids.
      Bytes report = link->reports.front();
      link->reports.pop_front();
      if (!report.empty()) report.erase(report.begin());
      if (node->shortNext > 0) {
        report.resize(std::min(report.size(), node->shortNext));
        node->shortNext = 0;
      }
      const size_t n = std::min<size_t>(report.size(), static_cast<size_t>(arg->data_len));
      umockdev_ioctl_data_update(arg, 0, report.data(), static_cast<gint>(n));
      result = static_cast<long>(n);
    }
  }
  node->UpdateReadinessLocked();
  lock.unlock();
  umockdev_ioctl_client_complete(client, result, result < 0 ? err : 0);
  return TRUE;
}

gboolean OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  Node* node = static_cast<Node*>(user);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const size_t count = static_cast<size_t>(arg->data_len);
  long result = -1;
  int err = EIO;
  {
    std::unique_lock<std::mutex> lock(node->m);
    std::shared_ptr<Link> link = node->LinkOf(client);
    if (node->gone) {
      err = ENODEV;
    } else if (count < 1 || count > 4096) {
      err = EINVAL;
    } else if (link && node->EnsureConnectedLocked(lock, link)) {
      // Report id first, as hidraw takes it; the simulator wants the whole report.
      Bytes report(arg->data, arg->data + count);
      report.resize(node->lengths.output + 1, 0);
      if (SendFrame(link->sock, 'W', report)) result = static_cast<long>(count);
    }
  }
  umockdev_ioctl_client_complete(client, result, result < 0 ? err : 0);
  return TRUE;
}

void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  Node* node = static_cast<Node*>(user);
  std::shared_ptr<Link> link;
  {
    std::lock_guard<std::mutex> lock(node->m);
    link = node->LinkOf(client);
    node->links.erase(client);
  }
  if (link) Node::CloseLink(link);
}

// umockdev 0.17 emits no "client-vanished": a client is dropped when its connection
// closes, so its end is the end of the object.
void OnClientGone(gpointer user, GObject* client) {
  OnVanished(nullptr, reinterpret_cast<UMockdevIoctlClient*>(client), user);
}

void OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  Node* node = static_cast<Node*>(user);
  {
    std::lock_guard<std::mutex> lock(node->m);
    node->links[client] = std::make_shared<Link>();
  }
  g_object_weak_ref(G_OBJECT(client), OnClientGone, user);
}

std::string Hex(const Bytes& bytes) {
  std::string text;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof(two), "%02x", b);
    text += two;
  }
  return text;
}

}  // namespace

std::vector<uint8_t> TerminalReportDescriptor(uint8_t reportBytes) {
  return {
      0x06, 0x00, 0xFF,  // usage page (vendor defined 0xFF00)
      0x09, 0x01,        // usage 1
      0xA1, 0x01,        // collection (application)
      0x15, 0x00,        //   logical minimum 0
      0x26, 0xFF, 0x00,  //   logical maximum 255
      0x75, 0x08,        //   report size 8
      0x95, reportBytes, //   report count
      0x09, 0x02,        //   usage 2
      0x81, 0x02,        //   input (data, variable, absolute)
      0x09, 0x03,        //   usage 3
      0x91, 0x02,        //   output (data, variable, absolute)
      0x09, 0x04,        //   usage 4
      0xB1, 0x02,        //   feature (data, variable, absolute)
      0xC0,              // end collection
  };
}

struct TerminalBed::Impl {
  UMockdevTestbed* bed = nullptr;
  std::string root;
  mutable std::mutex m;
  int nextNumber = 0;
  std::map<int, std::shared_ptr<Node>> nodes;  // every node ever plugged (handlers keep pointers)
  std::vector<int> present;

  std::shared_ptr<Node> Find(int number) const {
    std::lock_guard<std::mutex> lock(m);
    auto it = nodes.find(number);
    return it == nodes.end() ? nullptr : it->second;
  }
};

TerminalBed::TerminalBed() : impl_(new Impl) {
  impl_->bed = umockdev_testbed_new();
  gchar* root = umockdev_testbed_get_root_dir(impl_->bed);
  impl_->root = root;
  g_free(root);
}

TerminalBed::~TerminalBed() {
  UnplugAll();
  for (auto& entry : impl_->nodes) {
    std::lock_guard<std::mutex> lock(entry.second->m);
    if (entry.second->master >= 0) close(entry.second->master);
    entry.second->master = -1;
  }
  g_object_unref(impl_->bed);  // stops the handlers' worker thread and removes the folder
  for (auto& entry : impl_->nodes) {
    if (entry.second->handler) g_object_unref(entry.second->handler);
  }
}

std::string TerminalBed::RootDir() const { return impl_->root; }

int TerminalBed::Plug(const DeviceSpec& spec) {
  auto node = std::make_shared<Node>();
  node->bed = impl_.get();
  node->spec = spec;
  node->lengths = LengthsOf(spec.descriptor);
  {
    std::lock_guard<std::mutex> lock(impl_->m);
    node->number = impl_->nextNumber++;
  }
  const int n = node->number;
  char ids[64];
  std::snprintf(ids, sizeof(ids), "0003:%04X:%04X.%04X", spec.vendorId, spec.productId, n + 1);
  const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(n + 1);
  const std::string iface = usb + "/1-" + std::to_string(n + 1) + ":1.0";
  node->usbPath = "/sys" + usb;
  node->ifacePath = "/sys" + iface;
  node->hidPath = "/sys" + iface + "/" + ids;
  node->hidrawPath = node->hidPath + "/hidraw/hidraw" + std::to_string(n);
  node->devnode = "/dev/hidraw" + std::to_string(n);

  if (!spec.openable) {
    const std::string denied = impl_->root + "/rv270-denied";
    mkdir(denied.c_str(), 0755);
    const std::string marker = denied + "/hidraw" + std::to_string(n);
    if (FILE* f = std::fopen(marker.c_str(), "w")) std::fclose(f);
  }

  // The handler first, so that the node is served as soon as it exists.
  node->handler = umockdev_ioctl_base_new();
  g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(OnIoctl), node.get());
  g_signal_connect(node->handler, "handle-read", G_CALLBACK(OnRead), node.get());
  g_signal_connect(node->handler, "handle-write", G_CALLBACK(OnWrite), node.get());
  g_signal_connect(node->handler, "client-connected", G_CALLBACK(OnConnected), node.get());
  g_signal_connect(node->handler, "client-vanished", G_CALLBACK(OnVanished), node.get());
  if (!umockdev_testbed_attach_ioctl(impl_->bed, node->devnode.c_str(), node->handler, nullptr)) return -1;

  char vid[8], pid[8], hidId[40];
  std::snprintf(vid, sizeof(vid), "%04x", spec.vendorId);
  std::snprintf(pid, sizeof(pid), "%04x", spec.productId);
  std::snprintf(hidId, sizeof(hidId), "0003:%08X:%08X", spec.vendorId, spec.productId);
  const std::string num = std::to_string(n + 1);
  const std::string text =
      "P: " + usb + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: PRODUCT=" + vid + "/" + pid +
      "/100\nA: idVendor=" + vid + "\nA: idProduct=" + pid + "\nA: bcdDevice=0100\nA: busnum=1\nA: devnum=" + num +
      "\nA: manufacturer=Qorn\nA: product=" + spec.name + "\nA: serial=RV270SIM" + std::to_string(n) +
      "\n\n"
      "P: " + iface + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: INTERFACE=3/0/0\n"
      "A: bInterfaceNumber=00\nA: bInterfaceClass=03\n\n"
      "P: " + iface + "/" + ids + "\nE: SUBSYSTEM=hid\nE: DRIVER=hid-generic\nE: HID_ID=" + hidId +
      "\nE: HID_NAME=" + spec.name + "\nE: HID_PHYS=usb-0000:00:14.0-" + num + "/input0\nE: HID_UNIQ=RV270SIM" +
      std::to_string(n) + "\nE: MODALIAS=hid:b0003g0001v0000" + std::string(vid) + "p0000" + pid +
      "\nH: report_descriptor=" + Hex(spec.descriptor) + "\n\n"
      "P: " + iface + "/" + ids + "/hidraw/hidraw" + std::to_string(n) + "\nN: hidraw" + std::to_string(n) +
      "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw" + std::to_string(n) + "\nE: MAJOR=245\nE: MINOR=" +
      std::to_string(n) + "\nA: dev=245:" + std::to_string(n) + "\n";
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(impl_->bed, text.c_str(), &error)) {
    std::fprintf(stderr, "rv270 devstack: %s\n", error ? error->message : "add_from_string failed");
    if (error) g_error_free(error);
    return -1;
  }
  // A real sysfs links the node to its HID device.
  const std::string linkPath = impl_->root + node->hidrawPath + "/device";
  if (symlink("../..", linkPath.c_str()) != 0 && errno != EEXIST) return -1;

  // Take the terminal's master side over: the test bed's copy of the number becomes
  // /dev/null (it closes that at the end), ours carries the readiness bytes.
  const int bedFd = umockdev_testbed_get_dev_fd(impl_->bed, node->devnode.c_str());
  if (bedFd >= 0) {
    node->master = fcntl(bedFd, F_DUPFD_CLOEXEC, 0);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
      dup2(null, bedFd);
      close(null);
    }
  }
  {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->nodes[n] = node;
    impl_->present.push_back(n);
  }
  return n;
}

bool TerminalBed::Unplug(int number) {
  std::shared_ptr<Node> node;
  {
    std::lock_guard<std::mutex> lock(impl_->m);
    auto it = std::find(impl_->present.begin(), impl_->present.end(), number);
    if (it == impl_->present.end()) return false;
    impl_->present.erase(it);
    node = impl_->nodes[number];
  }
  std::vector<std::shared_ptr<Link>> links;
  {
    std::lock_guard<std::mutex> lock(node->m);
    node->gone = true;
    for (auto& entry : node->links) links.push_back(entry.second);
    // A waiting reader wakes and its read fails with EIO, as hidraw's readers do when the
    // device goes; the read takes the readiness byte, so the node does not stay readable.
    // The node does not hang up (its master side stays open until the test bed goes):
    // Wine's bus driver reads a hung-up node in a loop that holds its device lock and
    // can starve the thread that would stop the device.
    const uint8_t mark = 'r';
    if (node->master >= 0 && node->pending == 0 && write(node->master, &mark, 1) == 1) node->pending = 1;
  }
  for (auto& link : links) Node::CloseLink(link);
  umockdev_testbed_uevent(impl_->bed, node->hidrawPath.c_str(), "remove");
  umockdev_testbed_uevent(impl_->bed, node->hidPath.c_str(), "remove");
  // The handler stays attached until the test bed goes: a client that keeps the node
  // open gets EIO, where a detached handler would leave its read waiting for ever.
  // The test bed keeps the node's pseudo-terminal in a map that removing the device
  // leaves behind; the terminal's number comes back with the next one opened.
  char pty[256] = {0};
  const std::string nodePath = impl_->root + node->devnode;
  if (readlink(nodePath.c_str(), pty, sizeof(pty) - 1) > 0) {
    std::string entry = pty;
    std::replace(entry.begin(), entry.end(), '/', '_');
    unlink((impl_->root + "/dev/.ptymap/" + entry).c_str());
  }
  // Children first: removing a device removes only its own class link and node.
  for (const std::string* path : {&node->hidrawPath, &node->hidPath, &node->ifacePath, &node->usbPath}) {
    umockdev_testbed_remove_device(impl_->bed, path->c_str());
  }
  const std::string marker = impl_->root + "/rv270-denied/hidraw" + std::to_string(number);
  unlink(marker.c_str());
  return true;
}

void TerminalBed::UnplugAll() {
  for (int number : Present()) Unplug(number);
}

std::vector<int> TerminalBed::Present() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return impl_->present;
}

void TerminalBed::FailNextRead(int number, int err) {
  if (auto node = impl_->Find(number)) {
    std::lock_guard<std::mutex> lock(node->m);
    node->failNextErr = err;
    node->UpdateReadinessLocked();
  }
}

void TerminalBed::ShortenNextRead(int number, size_t length) {
  if (auto node = impl_->Find(number)) {
    std::lock_guard<std::mutex> lock(node->m);
    node->shortNext = length;
  }
}

DeviceSpec TerminalBed::Spec(int number) const {
  auto node = impl_->Find(number);
  return node ? node->spec : DeviceSpec();
}

uint64_t TerminalBed::DroppedReports(int number) const {
  auto node = impl_->Find(number);
  if (!node) return 0;
  std::lock_guard<std::mutex> lock(node->m);
  return node->dropped;
}

int TerminalBed::OpenClients(int number) const {
  auto node = impl_->Find(number);
  if (!node) return 0;
  std::lock_guard<std::mutex> lock(node->m);
  return static_cast<int>(node->links.size());
}

}  // namespace rv270devstack
