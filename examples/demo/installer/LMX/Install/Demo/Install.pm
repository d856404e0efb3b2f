package LMX::Install::Demo::Install;

# ryninst [--target DIR] [--yes]: installs the demo product.
#
# Under the target's lock: a test run of the payload (what it holds,
# whether every file can be written, the space needed per filesystem),
# the user's confirmation on a terminal, the extraction, the check of
# every file against the manifest's MD5 sums, the runtime's copy for the
# uninstaller, the installation record and the uninstall entry in the
# registry. Every step is noted in the journal before it is taken; when
# one fails or a signal arrives, the journal is undone and the target is
# as it was before.
use strict;
use warnings;
use Getopt::Long ();
use LMX::Install::Demo::Failure qw(fail check FAILED USAGE DECLINED BUSY);
use LMX::Install::Demo::Files qw(absolute_path make_dirs size_text);
use LMX::Install::Demo::Journal;
use LMX::Install::Demo::Lock;
use LMX::Install::Demo::Payload;
use LMX::Install::Demo::Product;
use LMX::Install::Demo::Progress;
use LMX::Install::Demo::Registry;
use LMX::Install::Demo::Runtime;

my %PRODUCT = %LMX::Install::Demo::Product::PRODUCT;

# The options of PROGRAM in ARGS as {target, yes} (target absolute, taken
# from the caller's directory); fails with the usage text on a bad one.
sub options {
    my ($program, $args, $extra_usage) = @_;
    my %option;
    my $saved = Getopt::Long::Configure(qw(no_pass_through no_auto_abbrev));
    local $SIG{__WARN__} = sub { $option{error} = $_[0] };
    my $parsed = Getopt::Long::GetOptionsFromArray($args, \%option, 'target=s', 'yes', 'help|h');
    Getopt::Long::Configure($saved);
    my $usage = "usage: $program [--target DIR]$extra_usage [--help]";
    fail(USAGE, ($option{error} || "unexpected argument $args->[0]\n") . $usage)
      if !$parsed || @$args;
    fail(0, $usage) if $option{help};
    if (defined $option{target}) {
        fail(USAGE, "the target directory must not be empty\n$usage") if $option{target} eq '';
        fail(USAGE, "the target directory's name holds a control character\n$usage")
          if $option{target} =~ /[\x00-\x1f\x7f]/;
        $option{target} = absolute_path($option{target}, $KALDOR::Install::Config{CallerDir});
    }
    return \%option;
}

# A usage text (help asked for: on standard output, code 0) or a usage
# error (standard error, code 2).
sub usage_failure {
    my ($failure) = @_;
    print { $failure->{code} ? *STDERR : *STDOUT } "$failure->{text}\n";
    return $failure->{code};
}

sub quoted { my ($path) = @_; return $path =~ / / ? qq{"$path"} : $path }

# Asks on the terminal that standard input is (the question goes to
# standard output when that is a terminal too, else to standard error);
# fails unless the answer is yes. A signal ends the wait (also one that came
# just before it); STATE knows that a question is open meanwhile.
sub confirm {
    my ($state) = @_;
    local $LMX::Install::Demo::Failure::waiting = 1;
    check();
    my $question = 'Install ' . LMX::Install::Demo::Product::title() . " into $state->{target}? [y/N] ";
    my $out = $state->{terminal} ? *STDOUT : *STDERR;
    $state->{question} = $out;
    print {$out} $question;
    # A signal that comes just before the read begins would be acted on only
    # once the read returns: the answer is awaited in steps of 0.2 s, and a
    # signal noted meanwhile ends the wait.
    my $stdin = '';
    vec($stdin, fileno(STDIN), 1) = 1;
    check() until select(my $ready = $stdin, undef, undef, 0.2);
    check();
    my $answer = <STDIN>;
    $state->{question} = undef if defined $answer;    # an end of input leaves the line open
    fail(DECLINED, 'the answer was not yes') unless defined $answer && $answer =~ /^\s*y(es)?\s*$/i;
}

sub show_space {
    my (@rows) = @_;
    for my $row (@rows) {
        printf "space:      %s needs %s, %s free\n", $row->{name}, size_text($row->{needed}),
          defined $row->{free} ? size_text($row->{free}) : 'unknown';
    }
    for my $row (grep { defined $_->{free} && $_->{needed} > $_->{free} } @rows) {
        fail(FAILED, sprintf('not enough space on %s: the installation needs %s, %s is free',
                             $row->{name}, size_text($row->{needed}), size_text($row->{free})));
    }
}

# A stage with a progress display; STATE keeps it while it runs, so that a
# failure can end its line.
sub stage {
    my ($state, $name, $total, $summary, $work) = @_;
    my $progress = LMX::Install::Demo::Progress->new($name, $total, $state->{terminal});
    $state->{progress} = $progress;
    $work->($progress);
    $state->{progress} = undef;
    $progress->finish($summary);
}

sub install {
    my ($state) = @_;
    my ($kit, $target, $journal) = @$state{qw(kit target journal)};
    my $asking = -t STDIN;
    fail(DECLINED, 'there is no terminal to ask on: give --yes to install without asking')
      unless $asking || $state->{yes};
    my $archive = "$kit/$PRODUCT{payload}";
    fail(FAILED, "the kit has no payload $archive") unless -f $archive;
    make_dirs($target, $journal);
    $state->{lock} = LMX::Install::Demo::Lock::take($target);
    $state->{locked_at} = $journal->count;

    my $title = LMX::Install::Demo::Product::title();
    fail(FAILED, "$title is installed in $target already; uninstall it first with "
                 . "$target/$PRODUCT{uninstaller}") if -e "$target/$PRODUCT{record}";
    my ($hive, $location) = LMX::Install::Demo::Registry::find_entry();
    fail(FAILED, "$title is registered as installed in $location ("
                 . LMX::Install::Demo::Registry::key_name($hive)
                 . "); uninstall it there first (rynuninst --target $location)") if $hive;
    my @in_the_way = LMX::Install::Demo::Runtime::in_the_way($kit, $target);
    fail(FAILED, "$target already holds $in_the_way[0]; choose a new or empty directory")
      if @in_the_way;

    my ($untgz, $payload) = LMX::Install::Demo::Payload::test_run($archive, $target, $journal);
    my $files = keys %{ $payload->{files} };
    my $links = @{ $payload->{manifest}{links} };
    printf "test run:   %d files in %d directories, %d link%s, %s; every file can be written\n",
      $files, $payload->{dirs}, $links, $links == 1 ? '' : 's', size_text($payload->{bytes});
    my $runtime_size = LMX::Install::Demo::Runtime::size($kit, $target);
    show_space(LMX::Install::Demo::Payload::space($payload, $target, $runtime_size));
    confirm($state) unless $state->{yes};

    stage($state, 'extracting', $payload->{bytes},
          sprintf('extracted %d files, %s', $files, size_text($payload->{bytes})), sub {
        LMX::Install::Demo::Payload::extract($untgz, $payload, $target, $journal, $_[0]);
    });
    undef $untgz;
    stage($state, 'verifying', $payload->{bytes},
          sprintf('verified %d files against their MD5 sums', scalar @{ $payload->{manifest}{files} }),
          sub { LMX::Install::Demo::Payload::verify($payload, $target, $_[0]) });

    LMX::Install::Demo::Runtime::install($kit, $target, $journal);
    print "runtime:    copied into $target/$PRODUCT{runtime_dir} for $target/$PRODUCT{uninstaller}\n";
    my $record = "$target/$PRODUCT{record}";
    $hive = LMX::Install::Demo::Registry::own_hive();
    $journal->add(runtime => $record);
    $journal->save($record, [product => $PRODUCT{code}, $title], [registry => $hive],
                   [target => $target]);
    check();
    LMX::Install::Demo::Registry::create_entry(
        $hive,
        DisplayName     => $PRODUCT{name},
        DisplayVersion  => $PRODUCT{version},
        Publisher       => $PRODUCT{publisher},
        InstallLocation => $target,
        UninstallString => quoted("$target/$PRODUCT{uninstaller}"),
        EstimatedSize   => \int(($payload->{bytes} + $runtime_size) / 1024),
        NoModify        => \1,
        NoRepair        => \1);
    $journal->add(call => LMX::Install::Demo::Registry::key_name($hive),
                  sub { LMX::Install::Demo::Registry::delete_entry($hive) });
    print 'registered: ', LMX::Install::Demo::Registry::key_name($hive), "\n";
    check();
}

# Undoes what the journal holds: the steps taken under the lock, then the
# lock, then the directories made for the target. Returns what is left.
sub roll_back {
    my ($state) = @_;
    my @left = $state->{journal}->undo($state->{locked_at});
    LMX::Install::Demo::Lock::release($state->{lock});
    push @left, $state->{journal}->undo(0);
    return @left;
}

sub run {
    my (@args) = @_;
    $| = 1;
    my $state = { kit => $KALDOR::Install::Config{RuntimeDir}, terminal => -t STDOUT,
                  journal => LMX::Install::Demo::Journal->new(), locked_at => 0 };
    LMX::Install::Demo::Failure::watch_signals();
    my $done = eval {
        my $option = options('ryninst', \@args, ' [--yes]');
        $state->{yes} = $option->{yes};
        $state->{target} = $option->{target} || LMX::Install::Demo::Product::default_target();
        print LMX::Install::Demo::Product::title(), ": installing into $state->{target}\n";
        install($state);
        1;
    };
    LMX::Install::Demo::Failure::ignore_signals();
    if ($done) {
        LMX::Install::Demo::Lock::release($state->{lock});
        my $target = $state->{target};
        print LMX::Install::Demo::Product::title(), " is installed in $target.\n",
          "  run it:       $target/$PRODUCT{program}\n",
          "  uninstall it: $target/$PRODUCT{uninstaller}\n";
        return 0;
    }
    my $failure = LMX::Install::Demo::Failure::caught($@);
    $state->{progress}->abandon() if $state->{progress};
    print { $state->{question} } "\n" if $state->{question};    # the answer never came
    return usage_failure($failure) if $failure->{code} == USAGE || $failure->{code} == 0;
    if ($failure->{code} == BUSY) {
        $state->{journal}->forget(0);    # what is there belongs to the one at work
        print STDERR "ryninst: $failure->{text}\n";
        return BUSY;
    }
    my @left = roll_back($state);
    close STDOUT if $failure->{code} == 128 + 13;    # its reader is gone: nothing to flush
    print STDERR 'ryninst: ', $failure->{code} == DECLINED ? '' : 'installation failed: ',
      "$failure->{text}\n";
    if (@left) {
        print STDERR "ryninst: the rollback left these behind:\n", map { "  $_\n" } @left;
    } else {
        print STDERR "ryninst: nothing was installed; $state->{target} is as it was before\n";
    }
    return $failure->{code};
}

1;
