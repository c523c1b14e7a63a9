#include "platform/portal/screencast_portal.h"

#include <fcntl.h>
#include <gio/gunixfdlist.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <future>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/portal/gio_support.h"

namespace quorvale::platform::portal {
namespace {

using pipeline::UniqueFd;

constexpr const char* kBusName = "org.freedesktop.portal.Desktop";
constexpr const char* kObjectPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr int kCallTimeoutMillis = 25'000;
constexpr std::uint32_t kWindowSource = 2;
constexpr std::uint32_t kCursorEmbedded = 2;
constexpr std::uint32_t kCursorMetadata = 4;
// Until the user revokes it: mode 1 would end with our process.
constexpr std::uint32_t kPersistUntilRevoked = 2;
constexpr std::uint32_t kResponseSuccess = 0;
constexpr std::uint32_t kResponseCancelled = 1;
// Closing is a courtesy to the desktop; a portal that does not answer cannot hold us up.
constexpr auto kCloseWait = std::chrono::seconds(2);

using Reply = std::function<void(GVariant* reply, GUnixFDList* fds, const GError* error)>;
using SignalHandler = std::function<void(GVariant* parameters)>;

GVariant* vardict(std::initializer_list<std::pair<const char*, GVariant*>> entries) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  for (const auto& [key, value] : entries) g_variant_builder_add(&builder, "{sv}", key, value);
  return g_variant_builder_end(&builder);
}

std::uint32_t lookupUint(GVariant* dict, const char* key) {
  guint32 value = 0;
  return g_variant_lookup(dict, key, "u", &value) ? value : 0;
}

}  // namespace

struct ScreenCastPortal::Impl {
  explicit Impl(TokenStore store);
  ~Impl();

  // Any thread: runs work on the portal thread.
  void post(std::function<void()> work);

  // The portal thread only, from here on.
  void begin(bool withSavedToken);
  void createSession();
  void selectSources();
  void start();
  void call(const std::string& path, const char* interface, const char* method, GVariant* parameters,
            Reply done);
  void portalRequest(const char* method,
                     const std::function<GVariant*(const std::string& handleToken)>& parameters,
                     std::function<void(std::uint32_t response, GVariant* results)> onResponse,
                     std::function<void(const GError* error)> onCallError = nullptr);
  guint subscribe(const char* interface, const char* member, const std::string& path, SignalHandler handler);
  void unsubscribe(guint& subscription);
  std::string nextToken() {
    return "quorvale" + std::to_string(::getpid()) + "_" + std::to_string(++tokenCount);
  }
  void settle(RequestOutcome outcome);
  void fail(std::exception_ptr error);
  void markClosed();
  void closeSession(std::function<void()> done);

  TokenStore tokens;
  MainContextPtr context;
  MainLoopPtr loop;
  UniqueFd closedEvent;  // an eventfd written once the session is closed; set before the thread starts

  ConnectionPtr connection;
  std::string sender;  // our unique name as object paths spell it
  unsigned tokenCount = 0;
  std::uint32_t version = 0;
  std::uint32_t cursorModes = 0;
  std::optional<std::string> restoreToken;
  std::string sessionPath;
  std::string pendingRequest;
  guint responseSubscription = 0;
  guint closedSubscription = 0;
  bool closing = false;
  std::shared_ptr<std::promise<RequestOutcome>> outcome;

  mutable std::mutex mutex;  // guards grant and closed, which callers read
  std::optional<ScreenCastGrant> grant;
  bool closed = false;

  std::thread thread;  // last: started once everything it uses exists
};

ScreenCastPortal::Impl::Impl(TokenStore store)
    : tokens(std::move(store)),
      context(g_main_context_new()),
      loop(g_main_loop_new(context.get(), FALSE)),
      closedEvent(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (closedEvent.get() < 0) throw systemError(errno, "Could not prepare the screen-sharing session");
  thread = std::thread([this] {
    g_main_context_push_thread_default(context.get());
    g_main_loop_run(loop.get());
    g_main_context_pop_thread_default(context.get());
  });
}

ScreenCastPortal::Impl::~Impl() {
  std::promise<void> stopped;
  post([this, &stopped] {
    unsubscribe(responseSubscription);
    unsubscribe(closedSubscription);
    if (connection) g_dbus_connection_close_sync(connection.get(), nullptr, nullptr);
    connection.reset();
    g_main_loop_quit(loop.get());
    stopped.set_value();
  });
  stopped.get_future().wait();
  thread.join();
}

void ScreenCastPortal::Impl::post(std::function<void()> work) {
  using Work = std::function<void()>;
  g_main_context_invoke_full(
      context.get(), G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        (*static_cast<Work*>(data))();
        return G_SOURCE_REMOVE;
      },
      new Work(std::move(work)), [](gpointer data) { delete static_cast<Work*>(data); });
}

void ScreenCastPortal::Impl::settle(RequestOutcome result) {
  if (auto pending = std::exchange(outcome, nullptr)) pending->set_value(result);
}

void ScreenCastPortal::Impl::fail(std::exception_ptr error) {
  if (auto pending = std::exchange(outcome, nullptr)) pending->set_exception(std::move(error));
}

void ScreenCastPortal::Impl::markClosed() {
  {
    std::lock_guard lock(mutex);
    if (closed) return;
    closed = true;
  }
  const std::uint64_t one = 1;
  (void)!::write(closedEvent.get(), &one, sizeof(one));
}

void ScreenCastPortal::Impl::call(const std::string& path, const char* interface, const char* method,
                                  GVariant* parameters, Reply done) {
  g_dbus_connection_call_with_unix_fd_list(
      connection.get(), kBusName, path.c_str(), interface, method, parameters, nullptr,
      G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMillis, nullptr, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::pair<Impl*, Reply>> call(static_cast<std::pair<Impl*, Reply>*>(data));
        GError* error = nullptr;
        GUnixFDList* fds = nullptr;
        VariantPtr reply(
            g_dbus_connection_call_with_unix_fd_list_finish(G_DBUS_CONNECTION(source), &fds, result, &error));
        const ErrorPtr ownedError(error);
        const FdListPtr ownedFds(fds);
        try {
          call->second(reply.get(), fds, error);
        } catch (...) {
          call->first->fail(std::current_exception());
        }
      },
      new std::pair<Impl*, Reply>(this, std::move(done)));
}

guint ScreenCastPortal::Impl::subscribe(const char* interface, const char* member, const std::string& path,
                                        SignalHandler handler) {
  return g_dbus_connection_signal_subscribe(
      connection.get(), kBusName, interface, member, path.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
         gpointer data) {
        auto* subscription = static_cast<std::pair<Impl*, SignalHandler>*>(data);
        // A copy: the handler may unsubscribe, which frees the original.
        auto [self, handler] = *subscription;
        try {
          handler(parameters);
        } catch (...) {
          self->fail(std::current_exception());
        }
      },
      new std::pair<Impl*, SignalHandler>(this, std::move(handler)),
      [](gpointer data) { delete static_cast<std::pair<Impl*, SignalHandler>*>(data); });
}

void ScreenCastPortal::Impl::unsubscribe(guint& subscription) {
  if (subscription && connection) g_dbus_connection_signal_unsubscribe(connection.get(), subscription);
  subscription = 0;
}

// Subscribes to the request's Response before the call, so no answer slips by.
void ScreenCastPortal::Impl::portalRequest(const char* method,
                                           const std::function<GVariant*(const std::string&)>& parameters,
                                           std::function<void(std::uint32_t, GVariant*)> onResponse,
                                           std::function<void(const GError*)> onCallError) {
  const std::string handleToken = nextToken();
  const std::string path = std::string(kObjectPath) + "/request/" + sender + "/" + handleToken;
  auto handler = [this, onResponse](GVariant* signal) {
    unsubscribe(responseSubscription);
    pendingRequest.clear();
    guint32 response = 2;
    GVariant* results = nullptr;
    g_variant_get(signal, "(u@a{sv})", &response, &results);
    const VariantPtr owned(results);
    if (!closing) return onResponse(response, results);
    // Closed while the session was being made: it is closed as soon as it exists.
    if (VariantPtr late{g_variant_lookup_value(results, "session_handle", nullptr)}) {
      call(g_variant_get_string(late.get(), nullptr), "org.freedesktop.portal.Session", "Close", nullptr,
           [](GVariant*, GUnixFDList*, const GError*) {});
    }
  };
  unsubscribe(responseSubscription);
  responseSubscription = subscribe("org.freedesktop.portal.Request", "Response", path, handler);
  pendingRequest = path;
  call(kObjectPath, kScreenCast, method, parameters(handleToken),
       [this, method, path, handler, onCallError](GVariant* reply, GUnixFDList*, const GError* error) {
         if (error) {
           unsubscribe(responseSubscription);
           pendingRequest.clear();
           if (onCallError) return onCallError(error);
           throw portalError(error, std::string("The screen-sharing portal refused ") + method);
         }
         const gchar* returned = nullptr;
         g_variant_get(reply, "(&o)", &returned);
         // A portal older than handle tokens answers on a path of its own choosing.
         if (returned && path != returned) {
           unsubscribe(responseSubscription);
           responseSubscription = subscribe("org.freedesktop.portal.Request", "Response", returned, handler);
           pendingRequest = returned;
         }
       });
}

void ScreenCastPortal::Impl::begin(bool withSavedToken) {
  if (!connection) {
    GError* error = nullptr;
    StringPtr address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error));
    if (address) {
      // A connection of our own, so nothing else in the process shares its state.
      connection.reset(g_dbus_connection_new_for_address_sync(
          address.get(),
          static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                            G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
          nullptr, nullptr, &error));
    }
    const ErrorPtr owned(error);
    if (!connection) throw noScreenCastPortal();
    g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
    std::string name = g_dbus_connection_get_unique_name(connection.get()) + 1;
    for (char& c : name) c = c == '.' ? '_' : c;
    sender = name;
  }
  restoreToken = withSavedToken ? tokens.load() : std::nullopt;
  call(kObjectPath, "org.freedesktop.DBus.Properties", "GetAll", g_variant_new("(s)", kScreenCast),
       [this](GVariant* reply, GUnixFDList*, const GError* error) {
         if (error && meansNoPortal(error)) throw noScreenCastPortal();
         if (error) throw portalError(error, "Could not reach the screen-sharing portal");
         VariantPtr properties(g_variant_get_child_value(reply, 0));
         version = lookupUint(properties.get(), "version");
         cursorModes = lookupUint(properties.get(), "AvailableCursorModes");
         if (!(lookupUint(properties.get(), "AvailableSourceTypes") & kWindowSource))
           throw noScreenCastPortal();
         createSession();
       });
}

void ScreenCastPortal::Impl::createSession() {
  const std::string sessionToken = nextToken();
  portalRequest(
      "CreateSession",
      [&](const std::string& handleToken) {
        return g_variant_new("(@a{sv})",
                             vardict({{"handle_token", g_variant_new_string(handleToken.c_str())},
                                      {"session_handle_token", g_variant_new_string(sessionToken.c_str())}}));
      },
      [this](std::uint32_t response, GVariant* results) {
        VariantPtr handle(g_variant_lookup_value(results, "session_handle", nullptr));
        if (response != kResponseSuccess || !handle) {
          throw PlatformError("portal", response, "The screen-sharing portal could not open a session.");
        }
        sessionPath = g_variant_get_string(handle.get(), nullptr);
        closedSubscription =
            subscribe("org.freedesktop.portal.Session", "Closed", sessionPath, [this](GVariant*) {
              unsubscribe(closedSubscription);
              markClosed();
              settle(RequestOutcome::cancelled);  // closed while the picker was up
            });
        selectSources();
      });
}

void ScreenCastPortal::Impl::selectSources() {
  portalRequest(
      "SelectSources",
      [&](const std::string& handleToken) {
        GVariantBuilder options;
        g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(handleToken.c_str()));
        g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(kWindowSource));
        g_variant_builder_add(&options, "{sv}", "multiple", g_variant_new_boolean(FALSE));
        // Only a mode the portal lists: any other fails the call itself.
        if (cursorModes & (kCursorMetadata | kCursorEmbedded)) {
          const std::uint32_t mode = (cursorModes & kCursorMetadata) ? kCursorMetadata : kCursorEmbedded;
          g_variant_builder_add(&options, "{sv}", "cursor_mode", g_variant_new_uint32(mode));
        }
        if (version >= 4) {
          g_variant_builder_add(&options, "{sv}", "persist_mode", g_variant_new_uint32(kPersistUntilRevoked));
          if (restoreToken) {
            g_variant_builder_add(&options, "{sv}", "restore_token",
                                  g_variant_new_string(restoreToken->c_str()));
          }
        }
        return g_variant_new("(o@a{sv})", sessionPath.c_str(), g_variant_builder_end(&options));
      },
      [this](std::uint32_t response, GVariant*) {
        if (response == kResponseCancelled) return settle(RequestOutcome::cancelled);
        if (response != kResponseSuccess) {
          throw PlatformError("portal", response, "The screen-sharing portal could not select the window.");
        }
        start();
      },
      [this](const GError* error) {
        if (!restoreToken) throw portalError(error, "The screen-sharing portal refused SelectSources");
        // A token it will not take: forget it and ask the user, in a new session.
        tokens.save(std::nullopt);
        unsubscribe(closedSubscription);
        call(sessionPath, "org.freedesktop.portal.Session", "Close", nullptr,
             [](GVariant*, GUnixFDList*, const GError*) {});
        sessionPath.clear();
        begin(false);
      });
}

void ScreenCastPortal::Impl::start() {
  portalRequest(
      "Start",
      [&](const std::string& handleToken) {
        return g_variant_new("(os@a{sv})", sessionPath.c_str(), "",
                             vardict({{"handle_token", g_variant_new_string(handleToken.c_str())}}));
      },
      [this](std::uint32_t response, GVariant* results) {
        if (response == kResponseCancelled) return settle(RequestOutcome::cancelled);
        if (response != kResponseSuccess) {
          throw PlatformError("portal", response, "The screen-sharing dialog could not share the window.");
        }
        // SelectSources used up the old token: the new one is saved before anything else.
        const gchar* token = nullptr;
        tokens.save(g_variant_lookup(results, "restore_token", "&s", &token) && token
                        ? std::optional<std::string>(token)
                        : std::nullopt);
        VariantPtr streams(g_variant_lookup_value(results, "streams", G_VARIANT_TYPE("a(ua{sv})")));
        if (!streams || g_variant_n_children(streams.get()) == 0) {
          throw PlatformError("portal", 0, "The screen-sharing portal shared no window.");
        }
        guint32 node = 0;
        GVariant* properties = nullptr;
        g_variant_get_child(streams.get(), 0, "(u@a{sv})", &node, &properties);
        const VariantPtr ownedProperties(properties);
        ScreenCastGrant granted{node, std::nullopt};
        gint32 width = 0, height = 0;
        if (g_variant_lookup(properties, "size", "(ii)", &width, &height) && width > 0 && height > 0) {
          granted.size = Size{static_cast<double>(width), static_cast<double>(height)};
        }
        {
          std::lock_guard lock(mutex);
          grant = granted;
        }
        settle(RequestOutcome::granted);
      });
}

void ScreenCastPortal::Impl::closeSession(std::function<void()> done) {
  closing = true;
  settle(RequestOutcome::cancelled);
  // The picker belongs to the pending request: closing it dismisses the dialog.
  if (connection && !pendingRequest.empty()) {
    call(pendingRequest, "org.freedesktop.portal.Request", "Close", nullptr,
         [](GVariant*, GUnixFDList*, const GError*) {});
  }
  if (!connection || sessionPath.empty()) {
    markClosed();
    return done();
  }
  unsubscribe(closedSubscription);
  call(sessionPath, "org.freedesktop.portal.Session", "Close", nullptr,
       [this, done](GVariant*, GUnixFDList*, const GError*) {
         markClosed();
         done();
       });
  sessionPath.clear();
}

ScreenCastPortal::ScreenCastPortal(TokenStore tokens) : impl_(std::make_unique<Impl>(std::move(tokens))) {}

ScreenCastPortal::~ScreenCastPortal() { close(); }

RequestOutcome ScreenCastPortal::request(Deadline deadline) {
  if (grant()) return RequestOutcome::granted;
  auto pending = std::make_shared<std::promise<RequestOutcome>>();
  auto result = pending->get_future();
  impl_->post([impl = impl_.get(), pending] {
    impl->outcome = pending;
    try {
      impl->begin(true);
    } catch (...) {
      impl->fail(std::current_exception());
    }
  });
  if (result.wait_until(deadline) == std::future_status::timeout) {
    close();
    return RequestOutcome::timedOut;
  }
  return result.get();
}

std::optional<ScreenCastGrant> ScreenCastPortal::grant() const {
  std::lock_guard lock(impl_->mutex);
  if (impl_->closed) return std::nullopt;
  return impl_->grant;
}

UniqueFd ScreenCastPortal::openPipeWireRemote(Deadline deadline) {
  auto pending = std::make_shared<std::promise<UniqueFd>>();
  auto result = pending->get_future();
  impl_->post([impl = impl_.get(), pending] {
    if (impl->sessionPath.empty() || impl->closing) {
      return pending->set_exception(
          std::make_exception_ptr(PlatformError("portal", 0, "The recorded window was closed.")));
    }
    impl->call(kObjectPath, kScreenCast, "OpenPipeWireRemote",
               g_variant_new("(o@a{sv})", impl->sessionPath.c_str(), vardict({})),
               [pending](GVariant* reply, GUnixFDList* fds, const GError* error) {
                 if (error)
                   return pending->set_exception(std::make_exception_ptr(
                       portalError(error, "Could not open the screen-sharing stream")));
                 gint32 index = -1;
                 g_variant_get(reply, "(h)", &index);
                 GError* fdError = nullptr;
                 UniqueFd fd(fds ? g_unix_fd_list_get(fds, index, &fdError) : -1);
                 const ErrorPtr owned(fdError);
                 if (fd.get() < 0)
                   return pending->set_exception(std::make_exception_ptr(
                       portalError(fdError, "Could not open the screen-sharing stream")));
                 pending->set_value(std::move(fd));
               });
  });
  if (result.wait_until(deadline) == std::future_status::timeout) {
    throw PlatformError("portal", 0, "The screen-sharing portal did not open the stream in time.");
  }
  return result.get();
}

UniqueFd ScreenCastPortal::sessionClosedNotification() const {
  UniqueFd copy(::fcntl(impl_->closedEvent.get(), F_DUPFD_CLOEXEC, 0));
  if (copy.get() < 0) throw systemError(errno, "Could not watch the screen-sharing session");
  return copy;
}

void ScreenCastPortal::close() {
  auto closedNow = std::make_shared<std::promise<void>>();
  auto result = closedNow->get_future();
  impl_->post(
      [impl = impl_.get(), closedNow] { impl->closeSession([closedNow] { closedNow->set_value(); }); });
  result.wait_for(kCloseWait);
}

}  // namespace quorvale::platform::portal
