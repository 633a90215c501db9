#include "files/directory_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <cerrno>

#include "core/utf8.h"
#include "files/file_params.h"

namespace pelagon2::files {
namespace {

enum class EntryKind { directory, other, unknown };

// The entry's own type; a symbolic link is never a directory here.
EntryKind classify(DIR* dir, const dirent& entry) {
  if (entry.d_type == DT_DIR) return EntryKind::directory;
  if (entry.d_type != DT_UNKNOWN) return EntryKind::other;
  struct stat st {};
  if (::fstatat(::dirfd(dir), entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::unknown;
  return S_ISDIR(st.st_mode) ? EntryKind::directory : EntryKind::other;
}

struct ListingRequest {
  enum class Mode { files, directories, entries } mode;
  std::vector<std::string> extensions;  // normalised; empty = no filter
};

// Entries are classified only when the mode needs it, so an unfiltered listing
// makes no status queries.
bool selected(const ListingRequest& request, DIR* dir, const dirent& entry, const std::string& name) {
  switch (request.mode) {
    case ListingRequest::Mode::files:
      return classify(dir, entry) == EntryKind::other;
    case ListingRequest::Mode::directories:
      return classify(dir, entry) == EntryKind::directory;
    case ListingRequest::Mode::entries:
      if (request.extensions.empty()) return true;
      if (classify(dir, entry) == EntryKind::directory) return true;
      return matches_extension(unicode_lower(name), request.extensions);
  }
  return false;
}

Json listing_result(std::vector<std::string> names, unsigned error_code) {
  Json result = Json::object();
  result["entries"] = Json(std::move(names));
  result["errorCode"] = error_code;
  return result;
}

Json list_directory(const std::string& path, const ListingRequest& request) {
  if (contains_nul(path)) return listing_result({}, 1);
  DirHandle dir(::opendir(path.c_str()));
  if (!dir) return listing_result({}, 1);

  std::vector<std::string> names;
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) break;  // the end, or an error the stream cannot continue past
    const std::string_view raw(entry->d_name);
    if (raw == "." || raw == "..") continue;
    std::string name = utf8_lossy(raw);
    if (selected(request, dir.get(), *entry, name)) names.push_back(std::move(name));
  }
  // std::string compares like memcmp: by unsigned bytes, shorter prefix first.
  std::sort(names.begin(), names.end());
  return listing_result(std::move(names), 0);
}

Outcome listing(const Json& params, ListingRequest::Mode mode) {
  Expected<std::string> path = string_param(params, "path");
  if (!path) return std::move(path).take_error();
  ListingRequest request{mode, {}};
  if (mode == ListingRequest::Mode::entries && params.is_object()) {
    const Json* extensions = find_member(params, "extensions");
    if (extensions != nullptr && extensions->is_array()) {
      for (const Json& element : *extensions) {
        if (element.is_string()) request.extensions.push_back(normalise_extension(element.get_ref<const std::string&>()));
      }
    }
  }
  return list_directory(*path, request);
}

std::u16string to_utf16(std::string_view utf8) {
  std::u16string out(utf8.size(), u'\0');  // never more UTF-16 units than UTF-8 bytes
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, utf8.data(),
                       static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return {};
  out.resize(static_cast<std::size_t>(length));
  return out;
}

std::string to_utf8(const std::u16string& utf16) {
  std::string out(utf16.size() * 3, '\0');  // at most three bytes per UTF-16 unit
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, utf16.data(),
                     static_cast<int32_t>(utf16.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return {};
  out.resize(static_cast<std::size_t>(length));
  return out;
}

}  // namespace

std::string unicode_lower(std::string_view utf8) {
  const std::u16string source = to_utf16(utf8);
  if (source.empty()) return std::string();
  // Full mappings can grow the text (U+0130 becomes two units); retry once with
  // the size ICU asks for.
  std::u16string lowered(source.size(), u'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = u_strToLower(lowered.data(), static_cast<int32_t>(lowered.size()), source.data(),
                                        static_cast<int32_t>(source.size()), "", &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      lowered.assign(static_cast<std::size_t>(length), u'\0');
      continue;
    }
    if (U_FAILURE(status)) return std::string();
    lowered.resize(static_cast<std::size_t>(length));
    return to_utf8(lowered);
  }
  return std::string();
}

std::string normalise_extension(std::string_view extension) {
  const std::size_t first = extension.find_first_not_of('.');
  extension.remove_prefix(first == std::string_view::npos ? extension.size() : first);
  return unicode_lower(extension);
}

bool matches_extension(std::string_view lowered_name, const std::vector<std::string>& extensions) {
  return std::any_of(extensions.begin(), extensions.end(), [&](const std::string& extension) {
    if (lowered_name.size() < extension.size() + 1) return false;
    const std::size_t dot = lowered_name.size() - extension.size() - 1;
    return lowered_name[dot] == '.' && lowered_name.substr(dot + 1) == extension;
  });
}

Outcome get_files(const Json& params) { return listing(params, ListingRequest::Mode::files); }

Outcome get_directories(const Json& params) { return listing(params, ListingRequest::Mode::directories); }

Outcome get_file_system_entries(const Json& params) { return listing(params, ListingRequest::Mode::entries); }

}  // namespace pelagon2::files
