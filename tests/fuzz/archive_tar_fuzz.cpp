// The loader's tar.gz reader (LMX::Common::Archive::Tar) on an in-memory
// archive, driven through its Perl interface as the loader drives it: the
// names of the members, then a few of them opened and read, whole or by
// sysread. The first input byte chooses the reads; the rest is the archive.
#include <cstdint>

#include "runtime/host/module_table.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Loads the reader's functions and the walk below once.
void load_reader(pTHX) {
    static bool loaded = false;
    if (loaded) return;
    loaded = true;
    newXS("LMX::Common::Archive::Tar::bootstrap", boot_LMX__Common__Archive__Tar, __FILE__);
    eval_pv(R"(
        LMX::Common::Archive::Tar::bootstrap('LMX::Common::Archive::Tar');
        sub fuzz_walk {
            my ($path, $choices) = @_;
            my $archive = LMX::Common::Archive::Tar::new($path) or return;
            my @names;
            while (defined(my $name = LMX::Common::Archive::Tar::read($archive))) {
                push @names, $name;
                last if @names == 64;
            }
            LMX::Common::Archive::Tar::error($archive);
            for my $name (@names[0 .. ($#names < 3 ? $#names : 3)]) {
                my $member = LMX::Common::Archive::Tar::open($archive, $name) or next;
                if ($choices & 1) {
                    LMX::Common::Archive::Tar::File::read($member);
                } else {
                    my $buffer;
                    LMX::Common::Archive::Tar::File::sysread($member, $buffer, 700);
                    LMX::Common::Archive::Tar::File::sysseek($member, 0, 1);
                }
                LMX::Common::Archive::Tar::File::close($member) if $choices & 2;
                $choices >>= 2;
            }
            LMX::Common::Archive::Tar::rewind($archive);
            LMX::Common::Archive::Tar::read($archive);
            LMX::Common::Archive::Tar::error($archive);
        }
        1;
    )", TRUE);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    PerlInterpreter* my_perl = fuzz::interpreter();
    load_reader(aTHX);
    const fuzz::MemoryFile archive(data + 1, size - 1);
    dSP;
    ENTER;
    SAVETMPS;
    PUSHMARK(SP);
    XPUSHs(sv_2mortal(newSVpvn(archive.path().data(), archive.path().size())));
    XPUSHs(sv_2mortal(newSViv(data[0])));
    PUTBACK;
    call_pv("fuzz_walk", G_DISCARD | G_EVAL);
    if (SvTRUE(ERRSV)) fuzz::broken(SvPV_nolen(ERRSV));
    FREETMPS;
    LEAVE;
    return 0;
}
