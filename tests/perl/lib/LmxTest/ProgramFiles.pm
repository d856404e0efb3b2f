package LmxTest::ProgramFiles;

# Program files for the build- and version-information tests: Windows
# executables and DLLs made with the MinGW-w64 cross compilers and windres,
# built once per build tree and kept (under the build directory, keyed by
# their recipe) for the rest of the test run; Python's pefile as the oracle
# that reads them; ELF files of this machine.
use strict;
use warnings;
use Exporter 'import';
use Fcntl qw(:flock);
use File::Basename qw(dirname);
use File::Path qw(make_path remove_tree);
use Digest::MD5 qw(md5_hex);
use LmxTest qw(kit temp_dir write_file read_file);

our @EXPORT_OK = qw(windows_programs pefile_python pe_facts elf_object);

my $main_c = "int main(void) { return 0; }\n";
my $dll_c = "__declspec(dllexport) int answer(void) { return 42; }\n";

sub string_table {
    my ($key, %values) = @_;
    my @order = @{ delete $values{order} || [sort keys %values] };
    my $body = join '', map { qq{      VALUE "$_", "$values{$_}"\n} } @order;
    return qq{    BLOCK "$key"\n    BEGIN\n$body    END\n};
}

sub version_resource {
    my (%o) = @_;
    my $tables = join '', @{ $o{tables} };
    my $language = $o{language} ? "LANGUAGE $o{language}\n" : '';
    my $translation = $o{translation} ? qq{  BLOCK "VarFileInfo"\n  BEGIN\n    VALUE "Translation", $o{translation}\n  END\n} : '';
    return "${language}1 VERSIONINFO\nFILEVERSION 1,0,0,0\nBEGIN\n"
      . qq{  BLOCK "StringFileInfo"\n  BEGIN\n$tables  END\n$translation}
      . "END\n";
}

# name => [target, exe or dll, resource script]
my %recipes = (
    pe64_exe => ['x86_64', 'exe', version_resource(
        tables => [string_table('040904e4', FileVersion => '7.6.00', BuildNumber => '77',
                                Build => '035', order => [qw(FileVersion BuildNumber Build)]),
                   string_table('040704b0', FileVersion => '9.9.99', Build => '999')],
        translation => '0x409, 1252, 0x407, 1200')],
    pe32_exe => ['i686', 'exe', version_resource(
        tables => [string_table('040904E4', FileVersion => '30123')])],
    pe64_dll => ['x86_64', 'dll', version_resource(
        tables => [string_table('040904e4', FileVersion => '41007')])],
    pe32_dll => ['i686', 'dll', version_resource(
        tables => [string_table('040904e4', FileVersion => '1.2.3')])],
    unicode_exe => ['x86_64', 'exe', version_resource(
        tables => [string_table('040904b0', FileVersion => '5.4.3', Build => '21')])],
    languages_exe => ['x86_64', 'exe',
        version_resource(language => '0x07, 0x01',
                         tables => [string_table('040904e4', FileVersion => '2.0.0', Build => '200')])
        . version_resource(language => '0x09, 0x01',
                           tables => [string_table('040904e4', FileVersion => '1.0.0', Build => '100')])],
    plain_exe => ['i686', 'exe', ''],
);

sub have { my ($tool) = @_; return scalar grep { -x "$_/$tool" } split /:/, $ENV{PATH} }

sub build_all {
    my ($dir) = @_;
    my $work = temp_dir();
    write_file("$work/exe.c", $main_c);
    write_file("$work/dll.c", $dll_c);
    for my $name (sort keys %recipes) {
        my ($target, $kind, $rc) = @{ $recipes{$name} };
        my $cc = "$target-w64-mingw32-gcc";
        my @objects = ("$work/$kind.c");
        if ($rc ne '') {
            write_file("$work/$name.rc", $rc);
            system("$target-w64-mingw32-windres", "$work/$name.rc", '-O', 'coff', '-o',
                   "$work/$name.res.o") == 0 or die "windres failed for $name\n";
            push @objects, "$work/$name.res.o";
        }
        my @shared = $kind eq 'dll' ? ('-shared') : ();
        system($cc, '-O1', '-s', @shared, @objects, '-o', "$dir/$name.$kind") == 0
          or die "$cc failed for $name\n";
    }
}

# name => path of every Windows program above; undef without the cross
# compilers (the caller skips).
sub windows_programs {
    return undef unless have('x86_64-w64-mingw32-gcc') && have('i686-w64-mingw32-gcc')
                        && have('x86_64-w64-mingw32-windres');
    my $recipe = md5_hex(join "\0", $main_c, $dll_c, map { ($_, @{ $recipes{$_} }) } sort keys %recipes);
    my $cache = dirname(kit()) . "/test-fixtures";
    make_path($cache);
    my $dir = "$cache/windows-$recipe";
    open(my $lock, '>', "$cache/windows.lock") or die "cannot lock $cache: $!\n";
    flock($lock, LOCK_EX) or die "flock: $!\n";
    unless (-d $dir) {
        my $partial = "$dir.partial";
        remove_tree($partial);
        make_path($partial);
        build_all($partial);
        rename($partial, $dir) or die "cannot rename $partial: $!\n";
    }
    close $lock;
    return { map { my $kind = $recipes{$_}[1]; ($_ => "$dir/$_.$kind") } keys %recipes };
}

# A Python that has pefile, or undef.
sub pefile_python {
    for my $python ('python3', '/usr/bin/python3') {
        return $python if system("$python -c 'import pefile' >/dev/null 2>&1") == 0;
    }
    return undef;
}

my $facts_py = <<'PY';
import sys, pefile
pe = pefile.PE(sys.argv[1])
print("machine\t%d" % pe.FILE_HEADER.Machine)
print("characteristics\t%d" % pe.FILE_HEADER.Characteristics)
print("sections_field\t%d" % (pe.FILE_HEADER.get_file_offset() + 2))
for info in getattr(pe, "FileInfo", []):
    for entry in info:
        for table in getattr(entry, "StringTable", []):
            for key, value in table.entries.items():
                print("string\t%s\t%s\t%s" % (table.LangID.decode(), key.decode(), value.decode()))
res = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
if res is not None:
    for t in res.entries:
        if t.id != 16:
            continue
        print("type_entry\t%d" % t.struct.get_file_offset())
        for n in t.directory.entries:
            for l in n.directory.entries:
                d = l.data.struct
                print("data_entry\t%d\t%d\t%d" % (d.get_file_offset(), pe.get_offset_from_rva(d.OffsetToData), d.Size))
PY

# What pefile reads from a PE file: machine, characteristics, strings
# ({table}{name} = value), and file offsets for making broken copies:
# sections_field (the section count), type_entry (the version type's entry
# in the root directory), data_entries ([offset of the data entry, of the
# data, size] per language).
sub pe_facts {
    my ($python, $path) = @_;
    my $dir = temp_dir();
    write_file("$dir/facts.py", $facts_py);
    open(my $out, '-|', $python, "$dir/facts.py", $path) or die "python: $!\n";
    my %facts = (strings => {}, data_entries => []);
    while (my $line = <$out>) {
        chomp $line;
        my ($what, @values) = split /\t/, $line;
        if ($what eq 'string') { $facts{strings}{ $values[0] }{ $values[1] } = $values[2] }
        elsif ($what eq 'data_entry') { push @{ $facts{data_entries} }, \@values }
        else { $facts{$what} = $values[0] }
    }
    close $out or die "pefile could not read $path\n";
    return \%facts;
}

# A relocatable object of this machine, made with the C compiler.
sub elf_object {
    my $dir = temp_dir();
    write_file("$dir/o.c", "int lmx_fixture(void) { return 1; }\n");
    system('cc', '-c', "$dir/o.c", '-o', "$dir/o.o") == 0 or die "cc failed\n";
    return "$dir/o.o";
}

1;
