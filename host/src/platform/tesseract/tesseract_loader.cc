#include "platform/tesseract/tesseract_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/os_error.h"
#include "platform/executable_path.h"
#include "platform/tesseract/tesseract_model.h"

namespace pelagon2::platform::tess {
namespace {

// Sets an environment variable for the lifetime of the object, then puts back
// what was there, so the commands the host runs later see the environment it
// was given.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* previous = std::getenv(name)) previous_ = previous;
    ::setenv(name, value, 1);
  }
  ~ScopedEnvironment() {
    if (previous_) {
      ::setenv(name_, previous_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

class LazyRecognizer final : public Recognizer {
 public:
  Expected<std::vector<RecognizedLine>> recognize(const RecognitionImage& image,
                                                  const std::optional<std::string>& language) override {
    Expected<Recognizer*> engine = load();
    if (!engine) return std::move(engine).take_error();
    return (*engine)->recognize(image, language);
  }

  Expected<std::vector<std::string>> languages() override {
    Expected<Recognizer*> engine = load();
    if (!engine) return std::move(engine).take_error();
    return (*engine)->languages();
  }

 private:
  Expected<Recognizer*> load() {
    if (engine_) return engine_.get();
    Expected<std::string> executable = executable_path();
    if (!executable) return std::move(executable).take_error();
    const std::string path = engine_library_path(*executable);

    void* library = nullptr;
    {
      // The OpenMP runtime comes in with the engine and reads its settings
      // once, as it loads: the host's one-thread limit applies whatever the
      // caller's environment says.
      const ScopedEnvironment limit(kThreadLimitVariable, kThreadLimit);
      library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (library == nullptr) {
      const char* reason = ::dlerror();
      return make_error(std::string("cannot load the text recognizer: ") + (reason != nullptr ? reason : path));
    }
    auto factory = reinterpret_cast<EngineFactory>(::dlsym(library, kEngineFactorySymbol));
    Recognizer* engine = factory != nullptr ? factory(kEngineInterfaceVersion) : nullptr;
    if (engine == nullptr) {
      ::dlclose(library);
      return make_error("cannot load the text recognizer: " + path + " does not match this host");
    }
    // The library stays loaded until the process ends: the engine's code and
    // the OpenMP runtime must outlive every object they made.
    engine_.reset(engine);
    return engine_.get();
  }

  std::unique_ptr<Recognizer> engine_;
};

}  // namespace

std::unique_ptr<Recognizer> make_lazy_recognizer() { return std::make_unique<LazyRecognizer>(); }

}  // namespace pelagon2::platform::tess
