#include "platform/win/locale.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>

// The C library's newlocale keeps the parsed LOCPATH list of every call it
// made with LOCPATH set, which only these tests set.
extern "C" const char* __lsan_default_suppressions() { return "leak:__argz_add_sep\n"; }

namespace corvid::win {
namespace {

namespace fs = std::filesystem;

// Sets environment variables for one test and restores them after.
class TEnvironment {
 public:
  ~TEnvironment() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }
  void Set(const std::string& name, const char* value) {
    if (!saved_.count(name)) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value) {
      ::setenv(name.c_str(), value, 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

struct Answers {
  std::string short_date, long_date, date_separator, time_separator, thousands, decimal;
};

Answers Read() {
  return {ShortDateFormat(), LongDateFormat(), DateSeparator(), TimeSeparator(), ThousandSeparator(),
          DecimalSeparator()};
}

void ExpectUnitedStates(const Answers& a, const std::string& where) {
  EXPECT_EQ(a.short_date, "M/d/yyyy") << where;
  EXPECT_EQ(a.long_date, "dddd, MMMM d, yyyy") << where;
  EXPECT_EQ(a.date_separator, "/") << where;
  EXPECT_EQ(a.time_separator, ":") << where;
  EXPECT_EQ(a.thousands, ",") << where;
  EXPECT_EQ(a.decimal, ".") << where;
}

TEST(LocaleTest, PlainAndMissingLocalesGiveTheUnitedStatesDefaults) {
  for (const char* name : {"C", "POSIX", "C.UTF-8", "xx_NOWHERE.UTF-8"}) {
    TEnvironment env;
    env.Set("LC_ALL", name);
    ExpectUnitedStates(Read(), name);
  }
  TEnvironment env;
  env.Set("LC_ALL", nullptr);
  env.Set("LC_TIME", nullptr);
  env.Set("LC_NUMERIC", nullptr);
  env.Set("LANG", nullptr);
  ExpectUnitedStates(Read(), "nothing set");
}

TEST(LocaleTest, GetLocaleInfoCopiesWithTheTerminatingZero) {
  TEnvironment env;
  env.Set("LC_ALL", "C");
  char buffer[32];
  EXPECT_EQ(GetLocaleInfo(LOCALE_USER_DEFAULT, LOCALE_SSHORTDATE, nullptr, 0), 9);
  EXPECT_EQ(GetLocaleInfo(LOCALE_USER_DEFAULT, LOCALE_SSHORTDATE, buffer, sizeof buffer), 9);
  EXPECT_STREQ(buffer, "M/d/yyyy");
  EXPECT_EQ(GetLocaleInfo(LOCALE_USER_DEFAULT, LOCALE_SLONGDATE, buffer, 5), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(GetLocaleInfo(LOCALE_USER_DEFAULT, 0x7777, buffer, sizeof buffer), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(LocaleTest, DateFormatsBecomePictures) {
  const struct {
    const char* format;
    const char* picture;
  } cases[] = {
      {"%m/%d/%Y", "MM/dd/yyyy"},     {"%d.%m.%Y", "dd.MM.yyyy"},   {"%Y-%m-%d", "yyyy-MM-dd"},
      {"%F", "yyyy-MM-dd"},           {"%D", "MM/dd/yy"},           {"%-d/%-m/%y", "d/M/yy"},
      {"%e de %B de %Y", "d' de 'MMMM' de 'yyyy"}, {"%A %e %b %Y", "dddd d MMM yyyy"},
      {"%Ey", "yy"},                  {"%H:%M", ""},                {"%d%", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(PictureFromStrftime(c.format), c.picture) << c.format;
}

// A locale of our own, compiled with the C library's localedef: day-first
// dates with dots, a dot between hours and minutes, and German-style number
// separators.
class InstalledLocaleTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = (fs::temp_directory_path() / "corvid-locale-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    dir_ = new fs::path(pattern);
    std::ofstream(*dir_ / "test.def") << R"(LC_CTYPE
copy "POSIX"
END LC_CTYPE
LC_COLLATE
copy "POSIX"
END LC_COLLATE
LC_MONETARY
copy "POSIX"
END LC_MONETARY
LC_MESSAGES
copy "POSIX"
END LC_MESSAGES
LC_NUMERIC
decimal_point ","
thousands_sep "."
grouping 3
END LC_NUMERIC
LC_TIME
abday "Su";"Mo";"Tu";"We";"Th";"Fr";"Sa"
day "Sunday";"Monday";"Tuesday";"Wednesday";"Thursday";"Friday";"Saturday"
abmon "Jan";"Feb";"Mar";"Apr";"May";"Jun";"Jul";"Aug";"Sep";"Oct";"Nov";"Dec"
mon "January";"February";"March";"April";"May";"June";"July";"August";"September";"October";"November";"December"
d_t_fmt "%a %d %b %Y %T"
d_fmt "%d.%m.%Y"
t_fmt "%H.%M.%S"
am_pm "";""
t_fmt_ampm ""
END LC_TIME
)";
    const std::string command = "localedef -c -i '" + (*dir_ / "test.def").string() + "' '" +
                                (*dir_ / "xx_TEST").string() + "' >/dev/null 2>&1";
    built_ = std::system(command.c_str()) != -1 && fs::exists(*dir_ / "xx_TEST" / "LC_TIME");
  }
  static void TearDownTestSuite() {
    if (dir_) fs::remove_all(*dir_);
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!built_) GTEST_SKIP() << "localedef could not build a test locale";
    env_.Set("LOCPATH", dir_->c_str());
    env_.Set("LC_ALL", nullptr);
    env_.Set("LC_TIME", nullptr);
    env_.Set("LC_NUMERIC", nullptr);
    env_.Set("LANG", nullptr);
  }

  static inline fs::path* dir_ = nullptr;
  static inline bool built_ = false;
  TEnvironment env_;
};

TEST_F(InstalledLocaleTest, AnswersComeFromTheNamedLocale) {
  env_.Set("LANG", "xx_TEST");
  const Answers a = Read();
  EXPECT_EQ(a.short_date, "dd.MM.yyyy");
  EXPECT_EQ(a.long_date, "dddd, d MMMM yyyy");
  EXPECT_EQ(a.date_separator, ".");
  EXPECT_EQ(a.time_separator, ".");
  EXPECT_EQ(a.thousands, ".");
  EXPECT_EQ(a.decimal, ",");
}

TEST_F(InstalledLocaleTest, CategoriesAndLcAllTakePrecedenceAsInTheCLibrary) {
  env_.Set("LANG", "xx_TEST");
  env_.Set("LC_NUMERIC", "C");  // numbers plain, dates still from LANG
  EXPECT_EQ(ShortDateFormat(), "dd.MM.yyyy");
  EXPECT_EQ(ThousandSeparator(), ",");
  env_.Set("LC_ALL", "C");  // overrides everything
  EXPECT_EQ(ShortDateFormat(), "M/d/yyyy");
  env_.Set("LC_ALL", nullptr);
  env_.Set("LANG", "C");
  env_.Set("LC_TIME", "xx_TEST");
  EXPECT_EQ(ShortDateFormat(), "dd.MM.yyyy");
  EXPECT_EQ(DecimalSeparator(), ".");
}

}  // namespace
}  // namespace corvid::win
