#!/usr/bin/perl
# make_payload.pl DIR ARCHIVE [--extra-mb N]: writes the demo product's
# files into DIR (emptied first) and packs them into ARCHIVE, the tar.gz
# that ryninst installs. The product: a program (bin/ryndemo) with a
# symbolic link to it, its configuration, a few hundred library, data and
# document files, an empty directory, and the manifest that names every
# file's MD5 sum and every link's target (share/ryndemo/MANIFEST).
#
# The content is the same on every run (a fixed pseudo-random sequence), so
# the archive is reproducible. --extra-mb adds N MiB of data in 8 KiB
# files below share/ryndemo/extra, for tests that need an installation
# that takes a while.
use strict;
use warnings;
use Digest::MD5 qw(md5 md5_hex);
use File::Path qw(make_path remove_tree);
use File::Basename qw(dirname);
use Getopt::Long qw(GetOptions);

my $extra_mb = 0;
GetOptions('extra-mb=i' => \$extra_mb) or die "usage: $0 DIR ARCHIVE [--extra-mb N]\n";
my ($dir, $archive) = @ARGV;
die "usage: $0 DIR ARCHIVE [--extra-mb N]\n" unless defined $archive;

my $version = '1.0.0';
my %files;    # relative path => [content, mode]
my %links;    # relative path => link target

# A linear congruential sequence: the same numbers on every machine.
my $seed = 20260101;
sub next_number { $seed = ($seed * 1103515245 + 12345) % 2147483648; return $seed }
sub pick { my ($n) = @_; return next_number() % $n }

my @words = qw(install archive payload module runtime target record manifest digest
  filesystem directory program library table value entry header stream block lock
  progress verify remove restore journal product version release note kilobyte
  transfer session console terminal signal bytes space check extract copy link);

sub text_of {
    my ($size, $lead) = @_;
    my $text = $lead;
    while (length $text < $size) {
        my $line = join ' ', map { $words[pick(scalar @words)] } 1 .. 6 + pick(8);
        $text .= ucfirst($line) . ".\n";
    }
    return substr($text, 0, $size - 1) . "\n";
}

# Bytes that do not compress: chained MD5 digests of a name and a counter.
sub bytes_of {
    my ($size, $name) = @_;
    my $bytes = '';
    my $i = 0;
    $bytes .= md5($name, $i++) while length $bytes < $size;
    return substr($bytes, 0, $size);
}

sub add { my ($path, $content, $mode) = @_; $files{$path} = [$content, $mode || 0644] }

add('bin/ryndemo', <<'SH', 0755);
#!/bin/sh
# Ryn Demo: says hello from where it is installed and checks that its files
# are there.
here=$(cd "$(dirname "$0")/.." && pwd)
conf="$here/etc/ryndemo.conf"
[ -r "$conf" ] || { echo "ryndemo: $conf is missing" >&2; exit 1; }
greeting=$(sed -n 's/^greeting=//p' "$conf")
count=$(find "$here/lib/ryndemo" "$here/share/ryndemo" -type f | wc -l)
echo "$greeting"
echo "Ryn Demo is installed in $here with $count library and data files."
SH
$links{'bin/ryndemo-hello'} = 'ryndemo';
add('etc/ryndemo.conf', "# Ryn Demo settings\ngreeting=Hello from Ryn Demo $version.\ncolour=blue\n");
add('share/doc/ryndemo/README', text_of(3000, "Ryn Demo $version\n\n"));
add('share/doc/ryndemo/CHANGES', text_of(1500, "Changes in $version\n\n"));
add('share/doc/ryndemo/LICENSE', text_of(1200, "Licence terms\n\n"));
add('share/doc/ryndemo/release notes.txt', text_of(800, "Release notes\n\n"));
for my $group (1 .. 8) {
    for my $n (1 .. 30) {
        add(sprintf('lib/ryndemo/group%d/module%02d.txt', $group, $n),
            text_of(1000 + pick(12000), "module $group.$n\n"));
    }
}
for my $n (1 .. 60) {
    add(sprintf('share/ryndemo/images/image%02d.bin', $n), bytes_of(4096 + pick(60000), "image$n"));
}
for my $n (1 .. 20) {
    my $rows = join '', map { join(',', $_, map { pick(100000) } 1 .. 8) . "\n" } 1 .. 1000 + pick(3000);
    add(sprintf('share/ryndemo/tables/table%02d.csv', $n), "row,a,b,c,d,e,f,g,h\n$rows");
}
# Many small files for the tests: creating them is what takes the time.
my $block = bytes_of(8192, 'extra');
for my $n (1 .. $extra_mb * 128) {
    add(sprintf('share/ryndemo/extra/chunk%05d.bin', $n), "chunk $n\n$block");
}

my @manifest = map { "f\t" . md5_hex($files{$_}[0]) . "\t$_\n" } sort keys %files;
push @manifest, map { "l\t$links{$_}\t$_\n" } sort keys %links;
add('share/ryndemo/MANIFEST', join('', "# Ryn Demo $version payload: f MD5 PATH, l TARGET PATH\n",
                                   @manifest));

remove_tree($dir);
make_path("$dir/var/ryndemo");    # an empty directory of the product
for my $path (sort keys %files) {
    make_path(dirname("$dir/$path"));
    open(my $out, '>:raw', "$dir/$path") or die "cannot write $dir/$path: $!\n";
    print {$out} $files{$path}[0];
    close $out or die "cannot write $dir/$path: $!\n";
    chmod $files{$path}[1], "$dir/$path";
}
for my $path (sort keys %links) {
    symlink($links{$path}, "$dir/$path") or die "cannot link $dir/$path: $!\n";
}

# Member names relative to DIR (no "./"), sorted, owner 0, one fixed time.
opendir(my $top, $dir) or die "cannot read $dir: $!\n";
my @members = sort grep { !/^\.\.?$/ } readdir $top;
make_path(dirname($archive));
system('tar', '--format=gnu', '--sort=name', '--owner=0', '--group=0', '--numeric-owner',
       '--mtime=2026-01-01 00:00:00Z', '-C', $dir, '-czf', "$archive.tmp", @members) == 0
  or die "tar failed for $archive\n";
rename("$archive.tmp", $archive) or die "cannot rename $archive.tmp: $!\n";
