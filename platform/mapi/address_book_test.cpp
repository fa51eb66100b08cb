// The contacts of a vCard file as the address book offers them. Files come
// from other programs: folded lines, escapes, cards without an address,
// other character sets and line ends must all read as their writer meant.
#include "platform/mapi/address_book.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvid::mapi {
namespace {

std::string Card(const std::string& lines) { return "BEGIN:VCARD\nVERSION:3.0\n" + lines + "END:VCARD\n"; }

TEST(ReadVCardsTest, ReadsEachAddressWithItsCardsName) {
  const struct {
    const char* what;
    std::string text;
    std::vector<TAddressEntry> entries;
  } cases[] = {
      {"folded lines, a space or a tab",
       Card("FN:Ann\n  Example\nEMAIL:ann@exam\n\tple.org\n"), {{"Ann Example", "SMTP", "ann@example.org"}}},
      {"escaped comma, semicolon and backslash in FN",
       Card("FN:Doe\\, Jane\\; Dr.\\\\PhD\nEMAIL:jane@example.com\n"), {{"Doe, Jane; Dr.\\PhD", "SMTP", "jane@example.com"}}},
      {"N with an escaped semicolon, when FN is missing",
       Card("N:Smith\\;Jones;Ann;;;\nEMAIL:ann@example.com\n"), {{"Ann Smith;Jones", "SMTP", "ann@example.com"}}},
      {"no name: the address names itself", Card("EMAIL:x@example.com\n"), {{"x@example.com", "SMTP", "x@example.com"}}},
      {"no EMAIL: nobody to address", Card("FN:Nobody\nTEL;TYPE=CELL:+1 555 0199\n"), {}},
      {"an empty EMAIL is no address", Card("FN:Empty\nEMAIL:  \n"), {}},
      {"several addresses, fax and other types",
       Card("FN:Office\nEMAIL;TYPE=work:o@example.com\nTEL;TYPE=work,fax:tel:+1 555 0100\n"
            "EMAIL;X-ADDRTYPE=X400:c=US;a=;p=Org;o=Site;s=Office\n"),
       {{"Office", "SMTP", "o@example.com"}, {"Office", "FAX", "+1 555 0100"},
        {"Office", "X400", "c=US;a=;p=Org;o=Site;s=Office"}}},
      {"a grouped property name", Card("FN:Grp\nitem1.EMAIL:g@example.com\n"), {{"Grp", "SMTP", "g@example.com"}}},
      {"quoted-printable with a soft break (vCard 2.1)",
       "BEGIN:VCARD\r\nVERSION:2.1\r\nFN;ENCODING=QUOTED-PRINTABLE:Zo=C3=AB =\r\n=C3=84rger\r\nEMAIL;INTERNET:z@example.com\r\n"
       "END:VCARD\r\n",
       {{"Zoë Ärger", "SMTP", "z@example.com"}}},
      {"lines outside a card are ignored", "EMAIL:stray@example.com\n" + Card("FN:In\nEMAIL:in@example.com\n"),
       {{"In", "SMTP", "in@example.com"}}},
      {"two cards keep their own names",
       Card("FN:One\nEMAIL:1@example.com\n") + Card("EMAIL:2@example.com\n"),
       {{"One", "SMTP", "1@example.com"}, {"2@example.com", "SMTP", "2@example.com"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ReadVCards(c.text), c.entries);
    // The same file with CR LF line ends reads the same.
    std::string crlf;
    for (char ch : c.text) {
      if (ch == '\n' && (crlf.empty() || crlf.back() != '\r')) crlf += '\r';
      crlf += ch;
    }
    EXPECT_EQ(ReadVCards(crlf), c.entries);
  }
}

// Names in another character set than UTF-8 become UTF-8: the rest of the
// system, message headers included, takes every text as UTF-8.
TEST(ReadVCardsTest, NamesInADeclaredCharacterSetBecomeUtf8) {
  const struct {
    const char* what;
    std::string text;
    std::string name;
  } cases[] = {
      {"Latin-1, quoted-printable",
       "BEGIN:VCARD\nVERSION:2.1\nFN;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:M=FCller\nEMAIL:m@example.com\n"
       "END:VCARD\n",
       "Müller"},
      {"Windows-1252, raw bytes", Card("FN;CHARSET=windows-1252:Caf\xE9 \x80\nEMAIL:m@example.com\n"), "Café €"},
      {"UTF-8 declared", Card("FN;CHARSET=UTF-8:Zoë\nEMAIL:m@example.com\n"), "Zoë"},
      {"an unknown character set keeps the bytes", Card("FN;CHARSET=x-nothing:Ab\nEMAIL:m@example.com\n"), "Ab"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<TAddressEntry> entries = ReadVCards(c.text);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].display_name, c.name);
    EXPECT_EQ(entries[0].email, "m@example.com");
  }
}

}  // namespace
}  // namespace corvid::mapi
