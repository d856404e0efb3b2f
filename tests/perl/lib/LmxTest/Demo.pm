package LmxTest::Demo;

# Helpers of the demo installer's tests: a kit with a larger payload, a
# fresh system store, what a directory holds (to show that it is as it was),
# the product's registry entry, and runs on a pseudo-terminal.
use strict;
use warnings;
use LmxTest qw(kit temp_dir run_kit);
use Exporter 'import';

our @EXPORT_OK = qw(UNINSTALL_KEY demo_kit store_env tree_state registry_entry on_pty
                    control_characters);

sub UNINSTALL_KEY {
    return 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\'
         . '{5B0C6F3E-2A71-4D8E-9C1F-7E4A2D3B6C10}';
}

# A copy of the kit (hard links) whose payload has EXTRA_MB MiB of data
# added, so that its installation takes a moment.
sub demo_kit {
    my ($extra_mb) = @_;
    my $dir = temp_dir() . '/kit';
    system('cp', '-al', kit(), $dir) == 0 or die "cannot copy the kit\n";
    my $script = "$ENV{LMX_TEST_SOURCE}/examples/demo/make_payload.pl";
    system('perl', $script, temp_dir() . '/payload', "$dir/PAYLOAD.TGZ", '--extra-mb', $extra_mb) == 0
      or die "cannot make the payload\n";
    return $dir;
}

# An environment with a system store of its own.
sub store_env { return (LMX_STORE_DIR => temp_dir()) }

# What DIR holds, one line per entry (name, a tab, then type, mode, size,
# link target and the MD5 sum of a file's content), by find and md5sum; ''
# when it is missing.
sub tree_state {
    my ($dir) = @_;
    return '' unless -d $dir;
    my @lines = `find '$dir' -mindepth 1 -printf '%y %m %s %l\t%P\n'`;
    my %sum = map { /^(\w+)\s+\Q$dir\E\/(.*)$/ ? ($2 => $1) : () }
              `find '$dir' -type f -exec md5sum {} +`;
    return join '', sort map { chomp; my ($facts, $name) = split /\t/; "$name\t$facts"
                                 . (exists $sum{$name} ? " $sum{$name}" : '') . "\n" } @lines;
}

# The product's uninstall entry as lmxreg shows it; undef when there is none.
sub registry_entry {
    my (%env) = @_;
    my ($code, $out) = run_kit(kit() . '/lmxreg', ['query', UNINSTALL_KEY()], env => \%env);
    return $code == 0 ? $out : undef;
}

# Runs PROGRAM with ARGS on a pseudo-terminal, taking the STEPS ([regex,
# action] pairs of run_in_pty.py); returns (exit code, what it showed).
sub on_pty {
    my ($program, $args, $env, @steps) = @_;
    my $helper = "$ENV{LMX_TEST_SOURCE}/tests/perl/lib/run_in_pty.py";
    my @command = ('python3', $helper, (map { ('--when', @$_) } @steps), $program, @$args);
    my ($code, $out) = run_kit($command[0], [@command[1 .. $#command]], env => $env);
    return ($code, $out);
}

# The control characters in TEXT other than line breaks.
sub control_characters {
    my ($text) = @_;
    return join '', map { sprintf '\\x%02x', ord } $text =~ /([\x00-\x09\x0b-\x1f\x7f])/g;
}

1;
