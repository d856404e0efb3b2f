package LmxTest::Kit;

# Helpers of the kit builder's tests: a small installer whose main sub puts
# its payload into --target DIR and checks standard modules at work (TAP on
# its standard output, exit 0 when all pass), lmxkit runs, and runs with the
# host's Perl hidden in a private mount namespace.
use strict;
use warnings;
use Cwd ();
use Exporter 'import';
use LmxTest qw(kit make_tree run_kit temp_dir write_file);

our @EXPORT_OK = qw(sample_installer lmxkit hiding_namespace hidden);

my $installer = <<'PM';
package LMX::Install::App::Console::Installation;
use strict;
use warnings;
use File::Spec;
use File::Path qw(make_path);
use POSIX qw(floor strftime);
use JSON::PP;
use Encode qw(decode encode);
use Test::More;

bootstrap KALDOR::Install::Untgz;

sub read_bytes {
    my ($path) = @_;
    open(my $in, '<:raw', $path) or return undef;
    local $/;
    return scalar <$in>;
}

# ryninst --target DIR
sub main {
    my %arg = @_;
    my $target = $arg{'--target'} or die "give --target DIR\n";
    make_path(File::Spec->catdir($target, 'var', 'log'));
    ok(-d File::Spec->catdir($target, 'var', 'log'), 'File::Path makes the target');
    my $untgz = KALDOR::Install::Untgz::new();
    is($untgz->Open(File::Spec->catfile($KALDOR::Install::Config{RuntimeDir}, 'PAYLOAD.TGZ')), 0,
       'the payload opens');
    $untgz->SetDestDir($target);
    my $files = 0;
    while (defined $untgz->Next()) { $files++ if ($untgz->ExtractFile() // -1) == 0 }
    ok($files >= 3, "the payload is extracted ($files entries)");
    my $settings = JSON::PP->new->utf8->decode(read_bytes("$target/settings.json") // 'null');
    is($settings->{name}, "S\x{e4}mple", 'JSON::PP reads the installed settings');
    is(decode('UTF-8', "\xc3\xa4"), "\x{e4}", 'Encode decodes UTF-8');
    is(encode('iso-8859-2', "\x{159}"), "\xf8", 'Encode encodes Latin-2 (Encode::Byte)');
    is(floor($settings->{size}), 2, 'POSIX floor');
    is(strftime('%Y-%m-%d', gmtime(86400)), '1970-01-02', 'POSIX strftime');
    done_testing();
    return Test::More->builder->is_passing ? 0 : 1;
}

1;
PM

# Writes the installer's module tree and payload below $dir; returns the
# two directories.
sub sample_installer {
    my ($dir) = @_;
    make_tree("$dir/modules", 'LMX/Install/App/Console/Installation.pm' => $installer);
    make_tree("$dir/payload",
              'settings.json' => qq({"name":"S\xc3\xa4mple","size":2.5}\n),
              'bin/tool' => "#!/bin/sh\necho tool ran\n",
              'share/doc/README' => "sample product\n");
    chmod(0755, "$dir/payload/bin/tool");
    return ("$dir/modules", "$dir/payload");
}

# Runs the kit's lmxkit: (exit code, stdout, stderr).
sub lmxkit { my ($args, %opt) = @_; return run_kit(kit() . '/lmxkit', $args, %opt) }

# The unshare options of a private mount namespace (as root, or else in a
# user namespace of our own); empty where neither is permitted.
my @unshare;
sub hiding_namespace {
    (@unshare) = grep { system("unshare @$_ true 2>/dev/null") == 0 } ['-m'], ['-r', '-m'];
    return @unshare ? @{ $unshare[0] } : ();
}

# A script that covers the host's Perl (its library directories and the
# files behind libperl.so*) and runs its arguments.
my $hide;
sub hide_script {
    return $hide if defined $hide;
    my @dirs = grep { -d } qw(/usr/share/perl /usr/share/perl5 /usr/lib/x86_64-linux-gnu/perl
                              /usr/lib/x86_64-linux-gnu/perl5 /usr/lib/x86_64-linux-gnu/perl-base);
    my %files = map { (Cwd::abs_path($_) => 1) } glob('/usr/lib/x86_64-linux-gnu/libperl.so*');
    return $hide = write_file(temp_dir() . '/hide.sh', join('', "set -e\n",
        (map { "mount -t tmpfs tmpfs $_\n" } @dirs),
        (map { "mount --bind /dev/null $_\n" } sort keys %files), "exec \"\$@\"\n"));
}

# Runs a program with the host's Perl hidden: (exit code, stdout, stderr).
sub hidden {
    my ($program, @args) = @_;
    return run_kit('unshare', [@{ $unshare[0] }, 'sh', hide_script(), $program, @args]);
}

1;
