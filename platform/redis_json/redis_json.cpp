// A small Redis module offering JSON.SET and JSON.GET on whole documents.
//
// Production talks to a Redis server with a JSON module; Debian packages
// none, so tests and the demo load this one instead. Only the root path is
// addressable: the helpers always read and write complete documents.
//
// The module API is reached through the function table redis-server hands
// to RedisModule_OnLoad; only the handful of entries used here are declared.

#include <boost/json.hpp>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

extern "C" {
struct RedisModuleCtx;
struct RedisModuleString;
struct RedisModuleKey;
struct RedisModuleType;
struct RedisModuleIO;
struct RedisModuleDigest;
}

namespace {

constexpr int kOk = 0;
constexpr int kErr = 1;
constexpr int kApiVersion = 1;
constexpr int kKeyRead = 1 << 0;
constexpr int kKeyWrite = 1 << 1;
constexpr int kKeyTypeEmpty = 0;
constexpr int kKeyTypeModule = 6;

// Bump kEncodingVersion (and teach rdb_load the old one) if the stored
// layout ever changes; RDB files written by older builds name it.
constexpr char kTypeName[] = "zjsondoc1";
constexpr int kEncodingVersion = 0;

// Boost.JSON's default of 32 would refuse documents the production module
// accepts. Parsing and serializing are iterative and the parse arena below
// is released in one go, so a deeper limit costs no stack.
constexpr std::size_t kMaxDepth = 512;

constexpr const char* kWrongType =
    "WRONGTYPE Operation against a key holding the wrong kind of value";
constexpr const char* kRootOnly = "ERR only the root path is supported";

using CommandFn = int (*)(RedisModuleCtx*, RedisModuleString**, int);
using GetApiFn = int (*)(const char*, void*);

// Field order is fixed by the server for methods version 1.
struct TypeMethods {
  std::uint64_t version;
  void* (*rdb_load)(RedisModuleIO*, int);
  void (*rdb_save)(RedisModuleIO*, void*);
  void (*aof_rewrite)(RedisModuleIO*, RedisModuleString*, void*);
  std::size_t (*mem_usage)(const void*);
  void (*digest)(RedisModuleDigest*, void*);
  void (*free)(void*);
};

struct Api {
  void (*SetModuleAttribs)(RedisModuleCtx*, const char*, int, int);
  int (*CreateCommand)(RedisModuleCtx*, const char*, CommandFn, const char*,
                       int, int, int);
  RedisModuleType* (*CreateDataType)(RedisModuleCtx*, const char*, int,
                                     TypeMethods*);
  RedisModuleKey* (*OpenKey)(RedisModuleCtx*, RedisModuleString*, int);
  void (*CloseKey)(RedisModuleKey*);
  int (*KeyType)(RedisModuleKey*);
  RedisModuleType* (*ModuleTypeGetType)(RedisModuleKey*);
  void* (*ModuleTypeGetValue)(RedisModuleKey*);
  int (*ModuleTypeSetValue)(RedisModuleKey*, RedisModuleType*, void*);
  const char* (*StringPtrLen)(const RedisModuleString*, std::size_t*);
  int (*ReplyWithError)(RedisModuleCtx*, const char*);
  int (*ReplyWithSimpleString)(RedisModuleCtx*, const char*);
  int (*ReplyWithStringBuffer)(RedisModuleCtx*, const char*, std::size_t);
  int (*ReplyWithNull)(RedisModuleCtx*);
  int (*WrongArity)(RedisModuleCtx*);
  int (*ReplicateVerbatim)(RedisModuleCtx*);
  void (*SaveStringBuffer)(RedisModuleIO*, const char*, std::size_t);
  char* (*LoadStringBuffer)(RedisModuleIO*, std::size_t*);
  void (*Free)(void*);
  void (*EmitAOF)(RedisModuleIO*, const char*, const char*, ...);
};

Api api{};
RedisModuleType* json_type = nullptr;

template <typename Fn>
bool bind(GetApiFn get, const char* name, Fn& slot) {
  return get(name, static_cast<void*>(&slot)) == kOk && slot != nullptr;
}

bool bind_api(GetApiFn get) {
  return bind(get, "RedisModule_SetModuleAttribs", api.SetModuleAttribs) &&
         bind(get, "RedisModule_CreateCommand", api.CreateCommand) &&
         bind(get, "RedisModule_CreateDataType", api.CreateDataType) &&
         bind(get, "RedisModule_OpenKey", api.OpenKey) &&
         bind(get, "RedisModule_CloseKey", api.CloseKey) &&
         bind(get, "RedisModule_KeyType", api.KeyType) &&
         bind(get, "RedisModule_ModuleTypeGetType", api.ModuleTypeGetType) &&
         bind(get, "RedisModule_ModuleTypeGetValue", api.ModuleTypeGetValue) &&
         bind(get, "RedisModule_ModuleTypeSetValue", api.ModuleTypeSetValue) &&
         bind(get, "RedisModule_StringPtrLen", api.StringPtrLen) &&
         bind(get, "RedisModule_ReplyWithError", api.ReplyWithError) &&
         bind(get, "RedisModule_ReplyWithSimpleString",
              api.ReplyWithSimpleString) &&
         bind(get, "RedisModule_ReplyWithStringBuffer",
              api.ReplyWithStringBuffer) &&
         bind(get, "RedisModule_ReplyWithNull", api.ReplyWithNull) &&
         bind(get, "RedisModule_WrongArity", api.WrongArity) &&
         bind(get, "RedisModule_ReplicateVerbatim", api.ReplicateVerbatim) &&
         bind(get, "RedisModule_SaveStringBuffer", api.SaveStringBuffer) &&
         bind(get, "RedisModule_LoadStringBuffer", api.LoadStringBuffer) &&
         bind(get, "RedisModule_Free", api.Free) &&
         bind(get, "RedisModule_EmitAOF", api.EmitAOF);
}

std::string_view view(const RedisModuleString* s) {
  std::size_t len = 0;
  const char* p = api.StringPtrLen(s, &len);
  return {p, len};
}

bool is_root_path(const RedisModuleString* s) {
  const std::string_view path = view(s);
  return path == "." || path == "$";
}

// Keys opened without automatic memory must be closed on every return path.
class Key {
 public:
  Key(RedisModuleCtx* ctx, RedisModuleString* name, int mode)
      : key_(api.OpenKey(ctx, name, mode)) {}
  ~Key() {
    if (key_ != nullptr) api.CloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  RedisModuleKey* get() const { return key_; }

  // A read-mode open of a missing key yields no handle at all.
  bool empty() const {
    return key_ == nullptr || api.KeyType(key_) == kKeyTypeEmpty;
  }

  bool holds_other_type() const {
    if (empty()) return false;
    return api.KeyType(key_) != kKeyTypeModule ||
           api.ModuleTypeGetType(key_) != json_type;
  }

 private:
  RedisModuleKey* key_;
};

// Validates the text and returns it in compact form, or sets `error`.
std::unique_ptr<std::string> compact_json(std::string_view text,
                                          std::string& error) {
  boost::json::monotonic_resource arena;
  boost::json::parse_options options;
  options.max_depth = kMaxDepth;
  boost::system::error_code ec;
  const boost::json::value doc = boost::json::parse(text, ec, &arena, options);
  if (ec) {
    error = "ERR invalid JSON: " + ec.message();
    return nullptr;
  }
  return std::make_unique<std::string>(boost::json::serialize(doc));
}

int json_set(RedisModuleCtx* ctx, RedisModuleString** argv, int argc) {
  if (argc != 4) return api.WrongArity(ctx);
  if (!is_root_path(argv[2])) return api.ReplyWithError(ctx, kRootOnly);

  std::string error;
  std::unique_ptr<std::string> doc = compact_json(view(argv[3]), error);
  if (!doc) return api.ReplyWithError(ctx, error.c_str());

  Key key(ctx, argv[1], kKeyRead | kKeyWrite);
  if (key.holds_other_type()) return api.ReplyWithError(ctx, kWrongType);
  // On success the keyspace owns the text, and the server frees any
  // previous document through the type's free method.
  std::string* owned = doc.release();
  if (api.ModuleTypeSetValue(key.get(), json_type, owned) != kOk) {
    delete owned;
    return api.ReplyWithError(ctx, "ERR could not store the document");
  }

  // Without this, AOF and replicas never see the write.
  api.ReplicateVerbatim(ctx);
  return api.ReplyWithSimpleString(ctx, "OK");
}

int json_get(RedisModuleCtx* ctx, RedisModuleString** argv, int argc) {
  if (argc < 2 || argc > 3) return api.WrongArity(ctx);
  if (argc == 3 && !is_root_path(argv[2]))
    return api.ReplyWithError(ctx, kRootOnly);

  Key key(ctx, argv[1], kKeyRead);
  if (key.empty()) return api.ReplyWithNull(ctx);
  if (key.holds_other_type()) return api.ReplyWithError(ctx, kWrongType);
  const auto* doc =
      static_cast<const std::string*>(api.ModuleTypeGetValue(key.get()));
  return api.ReplyWithStringBuffer(ctx, doc->data(), doc->size());
}

// An exception must never unwind into redis-server's C frames.
template <CommandFn Command>
int guarded(RedisModuleCtx* ctx, RedisModuleString** argv, int argc) {
  try {
    return Command(ctx, argv, argc);
  } catch (const std::bad_alloc&) {
    return api.ReplyWithError(ctx, "ERR out of memory");
  } catch (const std::exception& e) {
    const std::string message = std::string("ERR ") + e.what();
    return api.ReplyWithError(ctx, message.c_str());
  } catch (...) {
    return api.ReplyWithError(ctx, "ERR internal error");
  }
}

void* doc_rdb_load(RedisModuleIO* io, int encver) {
  if (encver != kEncodingVersion) return nullptr;
  std::size_t len = 0;
  char* buf = api.LoadStringBuffer(io, &len);
  if (buf == nullptr) return nullptr;
  std::string* doc = nullptr;
  try {
    doc = new std::string(buf, len);
  } catch (...) {
    doc = nullptr;  // a null value makes the server reject the load
  }
  api.Free(buf);
  return doc;
}

void doc_rdb_save(RedisModuleIO* io, void* value) {
  const auto* doc = static_cast<const std::string*>(value);
  api.SaveStringBuffer(io, doc->data(), doc->size());
}

void doc_aof_rewrite(RedisModuleIO* aof, RedisModuleString* key, void* value) {
  const auto* doc = static_cast<const std::string*>(value);
  api.EmitAOF(aof, "JSON.SET", "scb", key, ".", doc->data(), doc->size());
}

// Lets MEMORY USAGE account for text held outside the server's allocator.
std::size_t doc_mem_usage(const void* value) {
  const auto* doc = static_cast<const std::string*>(value);
  return sizeof(std::string) + doc->capacity();
}

void doc_free(void* value) { delete static_cast<std::string*>(value); }

}  // namespace

extern "C" __attribute__((visibility("default"))) int RedisModule_OnLoad(
    RedisModuleCtx* ctx, RedisModuleString** /*argv*/, int /*argc*/) {
  // The server stores its API lookup function first in the context.
  const auto get = reinterpret_cast<GetApiFn>(*reinterpret_cast<void**>(ctx));
  if (get == nullptr || !bind_api(get)) return kErr;

  api.SetModuleAttribs(ctx, "zjson", 1, kApiVersion);

  static TypeMethods methods{};
  methods.version = 1;
  methods.rdb_load = doc_rdb_load;
  methods.rdb_save = doc_rdb_save;
  methods.aof_rewrite = doc_aof_rewrite;
  methods.mem_usage = doc_mem_usage;
  methods.free = doc_free;
  json_type = api.CreateDataType(ctx, kTypeName, kEncodingVersion, &methods);
  if (json_type == nullptr) return kErr;

  if (api.CreateCommand(ctx, "JSON.SET", guarded<json_set>, "write deny-oom",
                        1, 1, 1) != kOk)
    return kErr;
  if (api.CreateCommand(ctx, "JSON.GET", guarded<json_get>, "readonly", 1, 1,
                        1) != kOk)
    return kErr;
  return kOk;
}
