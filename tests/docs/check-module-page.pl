#!/usr/bin/perl
# Keeps docs/module.md true to the module.
#
# One run of the real Wardline.dll in hubhost (the example scenario, bus
# traffic as JSON lines, every handled report) says which messages the module
# handled, with which statuses, which it sent, and which settings it wrote.
# The page must name exactly those messages (a '### "NAME": handled',
# 'published' or 'sent as a request' section each under "## Messages") and
# settings (a '### "NAME"' section under "## Settings"), and each failure
# status a handler answered must be in its message's section. Every status
# name on the page must be one the module has, and a value written before a
# name must be that name's value.
#
# Perl, with its own JSON::PP: part of every Debian system that has the
# build's packages.
#
# Usage: check-module-page.pl BUILD_DIR HUBHOST_EXE WARDLINE_DLL PAGE SCENARIO STATUS_HEADER STATUS_NAMES
use strict;
use warnings;
use File::Basename qw(dirname);
use File::Spec;
use File::Temp qw(tempfile);
use JSON::PP qw(decode_json);

@ARGV == 7 or die "usage: $0 BUILD_DIR HUBHOST_EXE WARDLINE_DLL PAGE SCENARIO STATUS_HEADER STATUS_NAMES\n";
my ($build, $hubhost, $wardline, $page_path, $scenario, $status_header, $status_names) = @ARGV;
my $wine_env = File::Spec->rel2abs(dirname(__FILE__) . "/../../scripts/wine-env.sh");
# hubhost's own handles; anything else on the bus in the run is the module's.
my %host_handle = map { $_ => 1 } qw(hubhost SettingsManager);
my %kind_of = ('handled' => 'handled', 'published' => 'publish', 'sent as a request' => 'request');

sub slurp {
    open(my $file, '<:encoding(UTF-8)', $_[0]) or die "cannot read $_[0]: $!\n";
    local $/;
    return scalar <$file>;
}

sub windows_path { my $path = 'Z:' . File::Spec->rel2abs($_[0]); $path =~ tr{/}{\\}; return $path; }

# {'## ' heading}{name of a '### "NAME"...' section} = [its word after the colon, its text]
sub page_sections {
    my (%sections, $top, $current);
    for my $line (split /\n/, $_[0]) {
        if ($line =~ /^## (.*\S)/) {
            $top = $1;
            $sections{$top} //= {};
            undef $current;
        } elsif (defined $top && $line =~ /^### "([^"]+)"(?::\s*(.+))?$/) {
            $current = [$2 // '', ''];
            $sections{$top}{$1} = $current;
        } elsif ($current) {
            $current->[1] .= "$line\n";
        }
    }
    return \%sections;
}

sub run_module {
    my ($fh, $path) = tempfile('module-page-XXXXXX', SUFFIX => '.json', TMPDIR => 1, UNLINK => 1);
    close $fh;
    # Into a file, not a pipe: Wine's services inherit the output of the
    # first process of a prefix and would keep a pipe open.
    my $pid = fork() // die "fork: $!\n";
    if ($pid == 0) {
        open(STDIN, '<', '/dev/null');
        open(STDOUT, '>', $path) or die;
        open(STDERR, '>&', \*STDOUT);
        exec('timeout', '180', 'bash', '-c', 'source "$0" "$1" && exec "$WINE" "${@:2}"', $wine_env, $build,
             $hubhost, '--json', '--handled', 'all', '--settings-in-memory', windows_path($wardline), '--script',
             windows_path($scenario)) or die "exec: $!\n";
    }
    waitpid($pid, 0);
    my @lines = map { s/\r$//r } split /\n/, slurp($path);
    return ([map { decode_json($_) } grep { /^\{/ } @lines], \@lines);
}

my @problems;
my $page = slurp($page_path);
my $sections = page_sections($page);
my %messages = %{$sections->{'Messages'} // {}};
my %settings = %{$sections->{'Settings'} // {}};

# Statuses: the names the module gives them, and the values of the named ones.
my %name_known = map { $_ => 1 } slurp($status_names) =~ /L"(MODULE_STATUS_\w+)"/g;
my %value_of = slurp($status_header) =~ /(MODULE_STATUS_\w+)\s*=\s*(0x[0-9A-Fa-f]+)u/g;
my %on_page = map { $_ => 1 } $page =~ /(MODULE_STATUS_\w+)/g;
push @problems, "the page names $_, a status the module does not have" for grep { !$name_known{$_} } sort keys %on_page;
while ($page =~ /\b0x([0-9A-Fa-f]{8}) (MODULE_STATUS_\w+)/g) {
    my ($value, $name) = (hex($1), $2);
    push @problems, sprintf("the page gives %s as 0x%08X; it is %s", $name, $value, $value_of{$name})
        if exists $value_of{$name} && hex($value_of{$name}) != $value;
}
for my $name (sort keys %messages) {
    push @problems, "the page's section for \"$name\" says \"$messages{$name}[0]\"; it must say handled, "
        . "published or sent as a request" unless exists $kind_of{$messages{$name}[0]};
}

my ($events, $lines) = run_module();
my @ended = grep { ($_->{event} // '') eq 'exit' } @$events;
push @problems, "the module's run did not end well:\n  " . join("\n  ", @$lines[-15 .. -1])
    unless @ended && $ended[-1]{code} == 0;

my (%handled, %observed, %written);    # handled: name => {status => 1}; observed: name => kind
for my $event (grep { ($_->{event} // '') eq 'bus' } @$events) {
    my $kind = $event->{kind};
    if ($kind eq 'handled' && !$host_handle{$event->{handler} // ''}) {
        $handled{$event->{name}}{$event->{status}} = 1;
        $observed{$event->{name}} = 'handled';
    } elsif (($kind eq 'publish' || $kind eq 'request') && !$host_handle{$event->{sender} // ''}) {
        $observed{$event->{name}} = $kind;
        $written{decode_json($event->{payload})->{name}} = 1 if $event->{name} =~ /^(SETTINGS_MANAGER_|SettingsManager\.)/;
    }
}

for my $name (sort keys %observed) {
    my $kind = $observed{$name};
    if (!$messages{$name}) {
        push @problems, sprintf('the module %s "%s" in the run; the page has no section for it',
                                $kind eq 'handled' ? 'handled' : 'sent', $name);
    } elsif (($kind_of{$messages{$name}[0]} // '') ne $kind) {
        push @problems, "the page says \"$name\" is $messages{$name}[0]; in the run it was $kind";
    }
}
push @problems, "the page says the module $messages{$_}[0] \"$_\"; it did not in the run"
    for grep { !$observed{$_} } sort keys %messages;
for my $name (sort keys %handled) {
    my $text = $messages{$name} ? $messages{$name}[1] : '';
    for my $status (sort { $a <=> $b } keys %{$handled{$name}}) {
        my $hex = sprintf('0x%08X', $status);
        push @problems, "the handler of \"$name\" answered $hex; its section does not say when"
            if $status >= 0x80000000 && index($text, $hex) < 0;
    }
}
push @problems, "the module wrote the setting \"$_\"; the page's settings do not name it"
    for grep { !$settings{$_} } sort keys %written;
push @problems, "the page names the setting \"$_\"; the module did not write it"
    for grep { !$written{$_} } sort keys %settings;

print "FAIL: $_\n" for @problems;
exit 1 if @problems;
printf "docs/module.md holds: handled %s; sent %s; settings %s; %d status names\n",
    join(', ', sort keys %handled), join(', ', grep { $observed{$_} ne 'handled' } sort keys %observed),
    join(', ', sort keys %written), scalar keys %on_page;
exit 0;
