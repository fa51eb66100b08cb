// Module resources: named blocks of bytes compiled into a binary, found by
// name and type as a Windows module's resources are.
//
// A binary holds a resource by linking an object that defines a registration
// at namespace scope, usually generated from a file by the build:
//
//   static const corvid::win::ResourceRegistration kSfxBin("SFXBIN", RT_RCDATA, kBytes, sizeof kBytes);
//
// Registration happens during static initialisation (or when a shared
// library is loaded) and ends with the object's destruction (unloading).
// Names compare without regard to ASCII case, as Windows matches resource
// names; types are the Win32 numbers. When one name and type is registered
// twice, the later registration is found. All functions are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace corvid::win {

// Resource types (the Win32 values).
inline constexpr int RT_RCDATA = 10;  // raw data

class ResourceRegistration {
 public:
  // `data` is not copied: it must stay valid as long as the registration,
  // which static data of the same object file does.
  ResourceRegistration(std::string name, int type, const void* data, size_t size);
  ~ResourceRegistration();
  ResourceRegistration(const ResourceRegistration&) = delete;
  ResourceRegistration& operator=(const ResourceRegistration&) = delete;

 private:
  friend std::optional<std::span<const uint8_t>> LookupResource(const std::string& name, int type);

  std::string name_;
  int type_;
  const uint8_t* data_;
  size_t size_;
  ResourceRegistration* next_ = nullptr;
};

// The bytes of the resource, or nothing when no loaded module holds it. The
// span stays valid while the registering module stays loaded.
std::optional<std::span<const uint8_t>> LookupResource(const std::string& name, int type);

// Size in bytes of the resource, 0 when absent.
uint32_t ResourceSize(const std::string& name, int type);

// Creates or replaces `file_name` with the resource's bytes. False when the
// resource is absent (the file is not touched) or the file cannot be
// written; the bytes go to a temporary file beside it that is renamed over
// it when complete, so a failure never leaves a partial or emptied file.
bool SaveResourceToFile(const std::string& name, int type, const std::string& file_name);

}  // namespace corvid::win
