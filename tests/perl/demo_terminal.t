# The demo installer on a terminal (a pseudo-terminal): the progress bar
# redrawn in place up to 100 %; Ctrl-C at about half of the extraction,
# which leaves the target exactly as it was; a second installer started
# while the first one waits for its confirmation, which is refused; the
# first one declined, which undoes its test run; Ctrl-C at the question.
use strict;
use warnings;
use Test::More;
use LmxTest qw(finish kit temp_dir run_kit write_file);
use LmxTest::Demo qw(demo_kit store_env tree_state registry_entry on_pty);

my $dir = temp_dir();

# The states of the bar that STAGE drew, in order, and what follows its
# last state.
sub bar_states {
    my ($out, $stage) = @_;
    my ($line) = $out =~ /^(\r\Q$stage\E .*)$/m or return ();
    return split /\r/, substr($line, 1);
}

subtest 'progress bar' => sub {
    my %env = store_env();
    my ($code, $out) = on_pty(kit() . '/ryninst', ['--target', "$dir/bar", '--yes'], \%env);
    is($code, 0, 'installed on a terminal') or diag($out);
    for my $stage ('extracting', 'verifying') {
        my @states = bar_states($out, $stage);
        cmp_ok(scalar @states, '>', 2, "$stage: the bar is redrawn in place on one line");
        my @percent = map { /\] +(\d+) %/ ? $1 : -1 } @states;
        is_deeply([sort { $a <=> $b } @percent], \@percent, "$stage: its percentage only grows");
        like($states[-1], qr/^\Q$stage\E +\[#{20}\] 100 %  ([\d.]+)\/\1 MB  [\d.]+ MB\/s  0:00 left *$/,
             "$stage: it ends at 100 %");
    }
    unlike($out, qr/[\x00-\x09\x0b\x0c\x0e-\x1f]/, 'no control character but CR');
    run_kit("$dir/bar/bin/rynuninst", [], env => \%env);
};

subtest 'Ctrl-C at half of the extraction' => sub {
    my %env = store_env();
    my $kit = demo_kit(4);
    my $target = "$dir/interrupted";
    write_file("$target/notes/mine.txt", "the user's\n");
    my $before = tree_state($target);
    my ($code, $out) = on_pty("$kit/ryninst", ['--target', $target, '--yes'], \%env,
                              [' [5-9]\d %', 'type:\x03']);
    is($code, 130, 'ryninst ends with the code of SIGINT');
    my @states = bar_states($out, 'extracting');
    my ($last) = $states[-1] =~ / (\d+) %/;
    cmp_ok($last, '<', 100, "interrupted during the extraction (at $last %)");
    like($out, qr/installation failed: interrupted by SIGINT\n.*nothing was installed; \Q$target\E is as it was before/,
         'says why and what became of the target');
    is(tree_state($target), $before, 'the target is exactly as it was');
    is(registry_entry(%env), undef, 'no registry entry');
};

subtest 'a second installer into the same target' => sub {
    my %env = store_env();
    my $target = "$dir/contended";
    my $second = "$dir/second";
    my ($code, $out) = on_pty(kit() . '/ryninst', ['--target', $target], \%env,
        ['\? \[y\/N\] ', "run:'" . kit() . "/ryninst' --target '$target' --yes >'$second' 2>&1 "
                         . "</dev/null; echo \$? >>'$second'"],
        ['', 'type:n\n']);
    my $refusal = LmxTest::read_file($second);
    like($refusal, qr/another installation or uninstallation is working in \Q$target\E .*\n4\n\z/,
         'is refused while the first one waits, with code 4');
    is($code, 3, 'the first one, declined');
    like($out, qr/nothing was installed; \Q$target\E is as it was before/, 'says so');
    ok(!-e $target, 'and takes back the target it made');
    is(registry_entry(%env), undef, 'no registry entry');
};

subtest 'Ctrl-C at the question' => sub {
    my %env = store_env();
    my $target = "$dir/asked";
    my ($code, $out) = on_pty(kit() . '/ryninst', ['--target', $target], \%env,
                              ['\? \[y\/N\] ', 'type:\x03']);
    is($code, 130, 'ends the wait with the code of SIGINT');
    like($out, qr/interrupted by SIGINT\n.*nothing was installed/, 'and says so');
    unlike($out, qr/\[y\/N\] (?:\^C)?ryninst/, 'on a line of its own');
    ok(!-e $target, 'the target it made is gone');
    ($code, $out) = on_pty(kit() . '/ryninst', ['--target', $target], \%env,
                           ['\? \[y\/N\] ', 'type:\x1c']);
    is($code, 131, 'Ctrl-\\ ends it with the code of SIGQUIT');
    like($out, qr/interrupted by SIGQUIT\n.*nothing was installed/, 'rolled back the same way');
    ok(!-e $target, 'the target is gone again');
};

finish();
