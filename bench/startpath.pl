# The start path beside its peers: start-up to a main sub that returns at
# once, reading every member of a tar.gz of the system's Perl library, and
# loading 300 modules from an archive on the include list.
use strict;
use warnings;
use Bench qw(best_time best_self_time compare temp_dir perl_inc);
use File::Path qw(make_path);

my $kit = shift or die "usage: $0 KIT\n";
my $work = temp_dir();

sub write_file {
    my ($path, $content) = @_;
    (my $dir = $path) =~ s{/[^/]+$}{};
    make_path($dir);
    open(my $out, '>', $path) or die "cannot write $path: $!\n";
    print {$out} $content;
    close $out;
}

sub tar_gz {
    my ($dir, $archive, @members) = @_;
    system('tar', '-C', $dir, '-czf', $archive, @members) == 0 or die "tar failed\n";
}

print "start path\n";

# Start-up: a kit whose LMXINST.TGZ holds a main sub that returns at once.
my $quick = "$work/quick";
make_path($quick);
system("cp -a '$kit'/* '$quick'/") == 0 or die;
write_file("$work/quick-src/LMX/Install/App/Console/Installation.pm",
           "package LMX::Install::App::Console::Installation;\nsub main { 0 }\n1;\n");
tar_gz("$work/quick-src", "$quick/LMXINST.TGZ", 'LMX');
compare(what => 'start-up: ryninst to a main sub that returns',
        ours_time => best_time(30, ["$quick/ryninst"]),
        peer => 'perl -MGetopt::Long -e 0',
        peer_time => best_time(30, ['perl', '-MGetopt::Long', '-e', '0']),
        target => 1.5);

# Reading every member of an archive of the system's pure-Perl library.
my $library = '/usr/share/perl/5.36';
my $archive = "$work/perl-library.tgz";
tar_gz($library, $archive, '.');
my $count = `tar -tzf '$archive' | grep -vc '/\$'`;
chomp $count;
write_file("$work/read_all.pl", <<'PL');
my $tar = LMX::Common::Archive::Tar->new($ARGV[0]) or die "cannot open $ARGV[0]\n";
my $bytes = 0;
while (defined(my $name = $tar->read)) { $bytes += length $tar->open($name)->read }
0;
PL
write_file("$work/archive_tar.pl", <<'PL');
use Archive::Tar;
my $bytes = 0;
my $next = Archive::Tar->iter($ARGV[0], 1);
while (my $file = $next->()) { $bytes += length $file->get_content }
PL
my $ours = best_time(5, ["$kit/ryninst", '--script', "$work/read_all.pl", $archive]);
compare(what => "reading $count members of a tar.gz with the reader",
        ours_time => $ours, peer => 'gzip -dc',
        peer_time => best_time(5, ['sh', '-c', "gzip -dc '$archive' >/dev/null"]), target => 1.2);
compare(what => "reading $count members of a tar.gz with the reader",
        ours_time => $ours, peer => "Perl's Archive::Tar (iter)",
        peer_time => best_time(3, ['perl', "$work/archive_tar.pl", $archive]));

# Loading 300 generated modules.
my $modules = "$work/modules";
my @names = map { sprintf 'Gen/Mod%03d.pm', $_ } 1 .. 300;
for my $i (1 .. 300) {
    my $package = sprintf 'Gen::Mod%03d', $i;
    my $subs = join '', map { "sub f$_ { my (\$x, \@rest) = \@_; return \$x * $_ + scalar(\@rest); }\n" } 1 .. 20;
    write_file("$modules/" . $names[$i - 1],
               "package $package;\nuse strict;\nuse warnings;\nour \$VERSION = '1.$i';\n${subs}1;\n");
}
write_file("$modules/Gen/All.pm", "package Gen::All;\n"
           . join('', map { (my $m = $_) =~ s{/}{::}g; $m =~ s/\.pm$//; "use $m;\n" } @names)
           . "sub main { 0 }\n1;\n");
tar_gz($modules, "$work/modules.tgz", 'Gen');
compare(what => 'loading 300 modules from an archive on the include list',
        ours_time => best_time(10, ["$kit/ryninst", '--inc', "$work/modules.tgz:" . perl_inc(),
                                    '--main', 'Gen::All::main']),
        peer => 'stock perl from a directory',
        peer_time => best_time(10, ['perl', '-MGetopt::Long', "-I$modules", '-MGen::All', '-e', '0']),
        target => 1.1);

# The loading alone, timed inside each process around the require.
write_file("$work/time_require.pl", <<'PL');
use Time::HiRes qw(time);
my $start = time;
require Gen::All;
print time - $start;
0;
PL
compare(what => 'the same, the require alone (timed inside the process)',
        ours_time => best_self_time(10, "$kit/ryninst", '--script', "$work/time_require.pl",
                                    '--inc', "$work/modules.tgz:" . perl_inc()),
        peer => 'stock perl from a directory',
        peer_time => best_self_time(10, 'perl', "-I$modules", "$work/time_require.pl"));
