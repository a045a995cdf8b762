// The image's .sbat section: shim's SBAT data, which shim (15.3 and later)
// requires of every image it starts and checks against its revocation list
// (SbatLevel). The text is CSV, one line a component: shim's format line,
// then this application's. Its generation is raised only when an image with a
// security fault has to be revoked, so that shim refuses every older build.
//
// The section holds the text alone, without a terminating NUL: its size is the
// text's length. Nothing refers to it. A named section outside any COMDAT is
// never removed by the link as unreferenced; `used` also has the compiler ask
// the linker to keep the symbol (/INCLUDE), should it ever be put in one.
// The version field is the application's; the URL is a placeholder under the
// reserved .invalid domain, since the project has no web address.

#define SBAT_TEXT                                                       \
  "sbat,1,SBAT Version,sbat,1,https://github.com/rhboot/shim/blob/main/SBAT.md\n" \
  "quillmere,1,quillmere,quillmere,0.1,https://quillmere.invalid/\n"

struct SbatText {
  char Text[sizeof SBAT_TEXT - 1];
};

static constexpr SbatText MakeSbatSection() {
  SbatText Section{};
  for (unsigned Index = 0; Index < sizeof Section.Text; Index++) {
    Section.Text[Index] = SBAT_TEXT[Index];
  }
  return Section;
}

extern const SbatText AppSbat;
__attribute__((section(".sbat"), used)) constexpr SbatText AppSbat = MakeSbatSection();
