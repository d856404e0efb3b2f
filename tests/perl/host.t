# The interpreter host: configuration hash, build stamps, the value of
# Start as exit code, the static module table and the bridged standard
# modules.
use strict;
use warnings;
use Test::More;
use B ();
use LmxTest qw(finish kit temp_dir run_kit write_file read_file copy_kit);

my $kit = kit();
my $config = \%KALDOR::Install::Config;

# A main package in an archive whose main sub is the given body.
sub main_archive {
    my ($body) = @_;
    my $dir = temp_dir();
    write_file("$dir/Exit/Main.pm", "package Exit::Main;\nsub main { $body }\n1;\n");
    system('tar', '-C', $dir, '-czf', "$dir/exit.tgz", 'Exit') == 0 or die;
    return ('--inc', "$dir/exit.tgz", '--main', 'Exit::Main::main', '--programname', 'tester');
}

# The arguments for a main sub that prints the configuration hash.
my @report = main_archive('print map { "$_ = $KALDOR::Install::Config{$_}\n" } '
                          . 'sort keys %KALDOR::Install::Config; 0');

subtest 'unstamped build stamps' => sub {
    is($config->{BinaryInstVersion}, '<LMX_SUBST:FULL_BUILD_VERSION>', 'full build version');
    is($config->{BinaryChangeList}, '<LMX_SUBST:CHANGELIST>', 'change list');
    is($config->{BinaryBuildString}, '<SUBST:FULL_VERSION_STRING>', 'version string');
    is($config->{BinaryMakeId}, '<LMX_SUBST:MAKEID>', 'make id');
};

subtest 'stamps are writable arrays of their markers\' length' => sub {
    my $symbols = `nm -S $kit/lmxrun.so 2>/dev/null`;
    plan skip_all => 'nm is not available' unless $symbols;
    for my $stamp ([full_build_version => '<LMX_SUBST:FULL_BUILD_VERSION>'],
                   [changelist => '<LMX_SUBST:CHANGELIST>'],
                   [full_version_string => '<SUBST:FULL_VERSION_STRING>'],
                   [makeid => '<LMX_SUBST:MAKEID>']) {
        my ($name, $marker) = @$stamp;
        my ($size, $type) = $symbols =~ /^[0-9a-f]+ ([0-9a-f]+) (\w) \S*build_stamps\S*$name/m;
        is(hex($size // 0), length($marker) + 1, "$name holds its marker and the terminator");
        is(lc($type // ''), 'd', "$name is in writable data");
    }
    my $dir = copy_kit(temp_dir());
    my $library = read_file("$dir/lmxrun.so");
    my $at = index($library, '<LMX_SUBST:FULL_BUILD_VERSION>');
    ok($at > 0, 'the marker is in the library');
    substr($library, $at, 15) = "7.1.02.03.4567\0";
    write_file("$dir/lmxrun.so", $library);
    my ($code, $out) = run_kit("$dir/ryninst", \@report);
    is($code, 0, 'the stamped library runs');
    like($out, qr/BinaryInstVersion = 7\.1\.02\.03\.4567\n/, 'and reports the stamp');
    like($out, qr/BinaryMakeId = <LMX_SUBST:MAKEID>\n/, 'the others keep their markers');
};

subtest 'the value of the main sub is the exit code' => sub {
    my @cases = (['"3"', 3, 'the string 3'], ['undef', 0, 'undef'], ['7', 7, 'an integer'],
                 ['"12abc"', 12, "a string's numeric value"], ['die "\n"', 0, 'a silent die'],
                 ['-1', 255, '-1']);
    for my $case (@cases) {
        my ($body, $expected, $what) = @$case;
        my ($code) = run_kit("$kit/ryninst", [main_archive($body)]);
        is($code, $expected, $what);
    }
    my $dir = temp_dir();
    write_file("$dir/s.pl", "'4';\n");
    is((run_kit("$kit/ryninst", ['--script', "$dir/s.pl"]))[0], 4, "a script's value");
};

subtest 'END blocks run when the interpreter is destroyed' => sub {
    my ($code, $out) = run_kit("$kit/ryninst",
                               [main_archive('eval q{END { print "end\n" }}; print "main\n"; 0')]);
    is($out, "main\nend\n", 'after the main sub');
};

subtest 'a runtime library path longer than 1023 bytes' => sub {
    my $deep = temp_dir();
    $deep .= '/' . ('d' x 200) for 1 .. 6;
    my $dir = copy_kit($deep);
    my ($code, $out) = run_kit("$dir/ryninst", \@report);
    is($code, 0, 'runs');
    like($out, qr/RuntimeDir = \Q$dir\E\n/, 'RuntimeDir is read whole');
};

subtest 'the static module table' => sub {
    my @registered = qw(attributes::bootstrap B::bootstrap DynaLoader::boot_DynaLoader
                        Math::BigInt::FastCalc::bootstrap threads::bootstrap
                        threads::shared::bootstrap IO::bootstrap XML::Parser::Expat::bootstrap
                        List::Util::bootstrap KALDOR::Install::System::Win32::API::bootstrap
                        KALDOR::Install::System::Win32::Console::bootstrap
                        Term::ReadKey::bootstrap LMX::Common::bootstrap
                        LMX::Common::Archive::Tar::bootstrap);
    for my $sub (@registered) {
        no strict 'refs';
        ok(defined &{$sub}, "$sub is registered");
        is(B::svref_2object(\&{$sub})->FILE, 'libLMXRun', "$sub carries the host's name");
    }
    is(B::svref_2object(\&LMX::Common::Archive::Tar::File::read)->FILE, 'ArchiveTar',
       "a module's functions carry its unit's name");
    bootstrap KALDOR::Install::System::Win32::Console;
    is(B::svref_2object(\&KALDOR::Install::System::Win32::Console::OpenConsole)->FILE,
       'SystemWin32Console', 'the console module too');
    ok(LMX::Common->bootstrap, 'a second boot of the loader returns true');
    is(LMX::Common::Require->can('require'), \&LMX::Common::Require::require,
       'and leaves the loader in place');
    eval { LMX::Common::no_such_sub() };
    is($@, "cannot load symbol LMX::Common::no_such_sub\n", 'the AUTOLOAD of LMX::Common');
    eval { LMX::Common::Archive::Tar::no_such_sub() };
    is($@, "cannot load symbol LMX::Common::Archive::Tar::no_such_sub\n",
       'the AUTOLOAD of the reader');
};

subtest 'standard modules load through their bridges' => sub {
    require List::Util;
    require Scalar::Util;
    is(List::Util::sum(1 .. 4), 10, 'List::Util');
    is(Scalar::Util::reftype([]), 'ARRAY', 'Scalar::Util');
    require Math::BigInt::FastCalc;
    ok(Math::BigInt::FastCalc->can('_new'), 'Math::BigInt::FastCalc');
    require XML::Parser::Expat;
    my $parser = XML::Parser::Expat->new;
    my @elements;
    $parser->setHandlers(Start => sub { push @elements, $_[1] });
    $parser->parse('<a><b/></a>');
    is_deeply(\@elements, ['a', 'b'], 'XML::Parser::Expat over expat');
    require Term::ReadKey;
    ok(defined &Term::ReadKey::ReadMode, 'Term::ReadKey');
    require IO::Handle;
    ok(IO::Handle->can('blocking'), 'IO');
    my @bridged = grep { m{/auto/(List|Math|XML|Term)/} } @DynaLoader::dl_shared_objects;
    is_deeply(\@bridged, [], 'no dynamic loader search for the bridged modules');
};

subtest 'interpreter threads' => sub {
    require threads;
    my $thread = threads->create(sub { return 6 * 7 });
    is($thread->join, 42, 'a thread runs and returns');
};

finish();
