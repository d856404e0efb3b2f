# The module loader behind require, use and do: archives and directories on
# @INC, the module cache, %INC, and how failures are reported.
use strict;
use warnings;
use Test::More;
use B ();
use LmxTest qw(finish temp_dir write_file read_file make_tree gnu_tar python_tar);
use LmxTest::Untgz qw(tar_entry tar_end gzip_bytes run_script);

my $cache = $LMX::Common::Require::modules;

# An archive of the given members with names relative to the search root.
sub archive {
    my ($name, %files) = @_;
    my $tree = make_tree(temp_dir(), %files);
    return gnu_tar($tree, temp_dir() . "/$name", ['-z'], sort keys %files);
}

subtest 'archives and directories on the search list' => sub {
    my $archive = archive('kit.tgz', 'Foo/Bar.pm' => "package Foo::Bar; sub v { 'archive' } 1;\n",
                          'Foo/Unused.pm' => "package Foo::Unused; 1;\n");
    my $dir = make_tree(temp_dir(), 'Foo/Baz.pm' => "package Foo::Baz;\r\nsub v { 'dir' }\r\n1;\r\n",
                        'Foo/Bar.pm' => "package Foo::Bar; sub v { 'directory copy' } 1;\n");
    local @INC = ($archive, $dir);
    ok(require Foo::Bar, 'require from the archive');
    is(Foo::Bar::v(), 'archive', 'the archive comes first');
    is($INC{'Foo/Bar.pm'}, $archive, '%INC names the archive');
    is_deeply($cache->{'Foo/Bar.pm'}, { txt => undef, loaded => 0 }, 'loaded entry: text dropped');
    is($cache->{'Foo/Unused.pm'}{archive}, $archive, 'every member is cached');
    like($cache->{'Foo/Unused.pm'}{txt}, qr/^package Foo::Unused/, 'with its text');
    ok(!exists $cache->{'Foo/Unused.pm'}{loaded}, 'not loaded');

    ok(require Foo::Baz, 'require from the directory');
    is($INC{'Foo/Baz.pm'}, "$dir/Foo/Baz.pm", '%INC names the file');
    is(Foo::Baz::v(), 'dir', 'its text');
    is(require Foo::Bar, 1, 'a loaded module is not evaluated again');
    is(require 'Foo/Bar.pm', 1, 'the same by file name');
};

subtest 'version numbers and absolute names' => sub {
    local @INC = ();
    is(eval 'require 5.005', 1, 'require 5.005');
    is(eval 'use 5.010; 1', 1, 'use 5.010');
    is(eval 'use v5.10; 1', 1, 'use v5.10') or diag $@;
    is(LMX::Common::Require::require('5'), 1, 'require 5');
    is(LMX::Common::Require::require('5,006'), 1, 'a comma as decimal mark');
    my $line = __LINE__ + 1;
    eval { LMX::Common::Require::require('/abs/Foo.pm') };
    like($@, qr{^Can't locate /abs/Foo\.pm in \@INC \(\@INC contains: \) at }, 'no search by absolute path');
    like($@, qr/ line \d+\.\n\z/, 'the message ends like the built-in one');
};

subtest 'the message for a module nowhere' => sub {
    local @INC = ('/no/where', '/nor/here');
    my $line = __LINE__ + 1;
    eval { require Not::There };
    is($@, "Can't locate Not/There.pm in \@INC (\@INC contains: /no/where, /nor/here) at "
         . __FILE__ . " line $line.\n", 'names the statement above the asking one');
};

subtest 'two archives with the same member' => sub {
    my $first = archive('one.tgz', 'Twin.pm' => "package Twin; sub v { 1 } 1;\n");
    my $second = archive('two.tgz', 'Twin.pm' => "package Twin; sub v { 2 } 1;\n",
                         'OnlyInSecond.pm' => "package OnlyInSecond; 1;\n");
    local @INC = ($first, $second);
    require OnlyInSecond;
    require Twin;
    is(Twin::v(), 1, 'the first location wins after the second archive was read');
    is($INC{'Twin.pm'}, $first, 'and is recorded');
};

subtest 'the first location on the list wins whatever was read before' => sub {
    my $archive = archive('late.tgz', 'Early.pm' => "package Early; sub v { 'archive' } 1;\n",
                          'Trigger.pm' => "package Trigger; 1;\n");
    my $dir = make_tree(temp_dir(), 'Early.pm' => "package Early; sub v { 'dir' } 1;\n");
    local @INC = ($dir, $archive);
    require Trigger;    # reads the archive, which also holds Early.pm
    require Early;
    is(Early::v(), 'dir', 'a directory before the archive');
    is($INC{'Early.pm'}, "$dir/Early.pm", 'recorded');

    my $third = archive('third.tgz', 'Third.pm' => "package Third; 1;\n",
                        'Shared.pm' => "package Shared; sub v { 'third' } 1;\n");
    my $fourth = archive('fourth.tgz', 'Shared.pm' => "package Shared; sub v { 'fourth' } 1;\n");
    @INC = ($fourth);
    ok(!eval { require Missing::Here; 1 }, 'the fourth archive is read for another module');
    @INC = ($third, $fourth);
    require Shared;
    is(Shared::v(), 'third', 'the earlier archive replaces what a later one cached');
};

subtest 'module texts and their evaluation' => sub {
    my $archive = archive('texts.tgz',
        'Selfish.pm'  => "package Selfish; our \$count; \$count++; require Selfish; 1;\n",
        'Zero.pm'     => "package Zero; our \$count; \$count++; 0;\n",
        'NoPackage.pm' => "sub no_package_sub { 42 } 1;\n",
        'Dies.pm'     => "package Dies; die \"boom\\n\";\n",
        'Outer.pm'    => "package Outer; require Dies; 1;\n",
        'Syntax.pm'   => "package Syntax;\n1 +;\n",
        'Warns.pm'    => "package Warns; warn \"noise\\n\"; my \$x = undef . ''; 1;\n",
        'WithData.pm' => "package WithData;\nsub lines { my \@l = <DATA>; \@l }\n1;\n__DATA__\nfirst\nsecond\n",
        'Dotted.pm'   => "package Dotted; 1;\n");
    local @INC = ($archive);

    require Selfish;
    is($Selfish::count, 1, 'a module that requires itself is evaluated once');

    eval { require Zero };
    is($@, "require: Zero.pm does not return a true value\n", 'a false value dies');
    ok(!exists $cache->{'Zero.pm'}{loaded}, 'and the module is not loaded');
    eval { require Zero };
    is($Zero::count, 2, 'a second require evaluates the cached text again');

    require NoPackage;
    is(LMX::Common::Require::no_package_sub(), 42, 'a text without package is compiled in the loader package');

    eval { require Outer };
    is($@, "boom\n", 'a die inside a nested load propagates unchanged');

    eval { require Syntax };
    like($@, qr/at Syntax\.pm line 2/, 'compile errors name the module file and line');

    my @warnings;
    local $SIG{__WARN__} = sub { push @warnings, @_ };
    require Warns;
    is_deeply(\@warnings, [], 'warnings of a module text are silenced');

    require WithData;
    is_deeply([WithData::lines()], ["first\n", "second\n"], "the module's DATA section is readable");
};

subtest 'base classes defined in the same file' => sub {
    my $archive = archive('base.tgz', 'Derived.pm' => <<'PM');
package Local::Base;
sub hello { 'base' }
package Derived;
use base 'Local::Base';
1;
PM
    local @INC = ($archive, @INC);
    ok(eval { require Derived; 1 }, 'use base of a package of the same file') or diag $@;
    is(Derived->hello, 'base', 'inherits');
};

subtest 'members stored with ./' => sub {
    my $archive = python_tar(temp_dir() . '/dot.tgz', 'w:gz', ['./Dotted/Mod.pm', "package Dotted::Mod; 1;\n"]);
    local @INC = ($archive);
    ok(!eval { require Dotted::Mod; 1 }, 'a "./" member is not a module file name');
    ok(exists $cache->{'./Dotted/Mod.pm'}, 'it is cached under its stored name');
};

subtest 'do FILE' => sub {
    my $dir = make_tree(temp_dir(), 'conf.pl' => "our \$runs; ++\$runs; 'value';\n");
    local @INC = ($dir);
    is(do 'conf.pl', 'value', 'do runs a relative file from the search list');
    is(do 'conf.pl', 1, 'a second do returns 1');
    is($LMX::Common::Require::runs, 1, 'and does not run it again');
    my $abs = write_file(temp_dir() . '/abs.pl', "7 * 6;\n");
    is(do $abs, 42, 'an absolute file runs through the built-in do');
    is(do $abs, 42, 'every time');
    eval { do 'missing.pl' };
    like($@, qr/^Can't locate missing\.pl in \@INC/, 'a missing file dies');
};

subtest 'unreadable files on the search list are skipped' => sub {
    my $dir = temp_dir();
    my $good = make_tree(temp_dir(), 'Skip/Past.pm' => "package Skip::Past; 1;\n");
    write_file("$dir/empty.tgz", '');
    write_file("$dir/random.tgz", join '', map { chr(($_ * 7919) % 256) } 1 .. 5000);
    local @INC = ((map { "$dir/$_" } qw(empty.tgz random.tgz)), $good);
    ok(eval { require Skip::Past; 1 }, 'found past two files that are no archives') or diag $@;
    is($INC{'Skip/Past.pm'}, "$good/Skip/Past.pm", 'in the directory after them');
};

# The error of requiring $module with @INC = ($archive), or '' without one.
sub load_error {
    my ($archive, $module) = @_;
    local @INC = ($archive);
    return eval "require $module; 1" ? '' : $@;
}

subtest 'damaged archives fail with an error naming them' => sub {
    my $dir = temp_dir();
    my $full = read_file(archive('cut.tgz', 'Cut.pm' => "package Cut; 1;\n" . ('#' x 5000) . "\n"));
    my $plain = gnu_tar(make_tree(temp_dir(), 'Half.pm' => "package Half; our \$v = 1;\n"
                        . ('#' x 3000) . "\n1;\n"), "$dir/half.tar", [], 'Half.pm');
    my $half = write_file("$dir/half.tgz", gzip_bytes(substr(read_file($plain), 0, 512 + 1000)));
    is(load_error($half, 'Half'),
       "cannot read archive $half: unexpected end of archive in the data of Half.pm\n",
       'an archive cut inside the module: no half module');
    ok(!defined $Half::v, 'nothing of it ran');
    my $trailer = write_file("$dir/trailer.tgz", substr($full, 0, -3));
    is(load_error($trailer, 'Cut'), "cannot read archive $trailer: unexpected end of archive\n",
       'a cut gzip trailer');
    my $crc = $full;
    substr($crc, -6, 1) = chr(ord(substr($crc, -6, 1)) ^ 0x40);
    write_file("$dir/crc.tgz", $crc);
    is(load_error("$dir/crc.tgz", 'Cut'), "cannot read archive $dir/crc.tgz: incorrect data check\n",
       'a CRC that does not match');
    ok(!exists $cache->{'Cut.pm'}, 'nothing of them is cached');

    my $ff = tar_entry('Huge.pm', '', size => "\xff" x 12) . tar_end();
    is(load_error(write_file("$dir/ff.tar", $ff), 'Huge'),
       "cannot read archive $dir/ff.tar: bad number in header\n", 'a size of all 0xFF bytes');
    my $eight = tar_entry('Eight.pm', 'x' x 100, size => 8 << 30) . tar_end();
    is(load_error(write_file("$dir/eight.tar", $eight), 'Eight'),
       "cannot read archive $dir/eight.tar: unexpected end of archive in the data of Eight.pm\n",
       'a size of 8 GiB that the file does not hold');
};

subtest 'members above the limit are not kept' => sub {
    local $LMX::Common::Require::member_limit = 1000;
    my $archive = archive('limit.tgz', 'Small.pm' => "package Small; 1;\n",
                          'Large.pm' => "package Large; 1;\n" . ('#' x 1000) . "\n",
                          'Later.pm' => "package Later; 1;\n");
    is(load_error($archive, 'Small'), '', 'a small module beside a large one');
    is(load_error($archive, 'Later'), '', 'and one after it');
    is(load_error($archive, 'Large'), "cannot load Large.pm from $archive: larger than 1000 bytes\n",
       'the large one is refused by name');
    ok(!defined $cache->{'Large.pm'}{txt}, 'its text is not kept');
};

subtest 'memory stays bounded beside a gzip bomb' => sub {
    # 1 GiB of zeros as 1024 gzip members of 1 MiB each: 1 MiB on disk. A
    # sanitizer build keeps freed memory in quarantine; the child runs
    # without one so that its growth is the loader's.
    my $asan_options = join ':', grep { defined && length } $ENV{ASAN_OPTIONS}, 'quarantine_size_mb=0';
    my $zeros = gzip_bytes("\0" x (1 << 20));
    my $bomb = write_file(temp_dir() . '/bomb.tgz', join '',
        gzip_bytes(tar_entry('Small.pm', "package Small; sub v { 17 } 1;\n")
                   . tar_entry('zeros.bin', '', size => 1 << 30)),
        $zeros x 1024, gzip_bytes(tar_entry('After.pm', "package After; 1;\n") . tar_end()));
    my ($code, $out, $err) = run_script(<<"PL", env => {ASAN_OPTIONS => $asan_options});
sub status { open(my \$s, '<', '/proc/self/status') or die; map { /^\$_[0]:\\s+(\\d+)/ ? \$1 : () } <\$s> }
my (\$before) = status('VmRSS');
\@INC = ('$bomb');
require Small;
require After;
my (\$peak) = status('VmHWM');
open(my \$maps, '<', '/proc/self/maps') or die;
my \$sanitized = grep { /libasan/ } <\$maps>;
print join(' ', Small::v(), \$peak, \$peak - \$before, \$sanitized ? 1 : 0), "\\n";
0;
PL
    my ($value, $peak, $growth, $sanitized) = split ' ', $out;
    is($value, 17, 'the small module loads') or diag $err;
    cmp_ok($growth, '<', 64 * 1024, "resident memory grows by $growth KiB, under 64 MiB");
  SKIP: {
        skip "the sanitizer's own memory: peak $peak KiB", 1 if $sanitized;
        cmp_ok($peak, '<', 64 * 1024, "peak resident $peak KiB, under 64 MiB");
    }
};

subtest 'require of an absolute path' => sub {
    my $file = write_file(temp_dir() . '/Abs/Mod.pm', "package Abs::Mod; our \$runs; \$runs++; 1;\n");
    local @INC = ();
    is(require $file, 1, 'loads the file');
    is(require $file, 1, 'once');
    is($Abs::Mod::runs, 1, 'it ran once');
    is($INC{$file}, $file, '%INC names it');
    my $false = write_file(temp_dir() . '/False.pm', "0;\n");
    eval { require $false };
    is($@, "require: $false does not return a true value\n", 'a false value dies as for any module');
};

subtest 'the loader reports under its own names' => sub {
    my %files = (
        'LMX::Common::Require::requireex' => 'lmxrun/Require.pl',
        'LMX::Common::Archive::new'       => 'lmxrun/Archive.pl',
        'KALDOR::Install::Start::Start'   => 'LMXRun.pl',
    );
    for my $sub (sort keys %files) {
        no strict 'refs';
        my $cv = B::svref_2object(\&{$sub});
        is($cv->FILE, $files{$sub}, "$sub is in $files{$sub}");
    }
    is(B::svref_2object(\&LMX::Common::Archive::Tar::new)->XSUB ? 'native' : 'perl', 'native',
       'the reader is native');
};

finish();
