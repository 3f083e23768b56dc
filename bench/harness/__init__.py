"""What every case of bench/run shares: processes and their costs (procs),
the servers (servers), the load tools and their readers (tools), the shared
clients (clients), the rounds, goals and results (rounds), and the chart."""
