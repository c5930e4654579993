"""`tolvan serve`: the instrument on the network, through one thread that owns it.

    events           what the owner tells the faces
    refusals         what the server itself refuses (a full queue, output on with nothing to restore)
    owner.Owner      the thread that owns the Attenuator: one command on the wire at a time, the
                     clients' requests first, polls in the gaps, the port reopened when it comes back
    polls, answering the owner's decisions, apart from its thread: which channel is polled when;
                     when the instrument starts and stops answering
    scpi_grammar     the SCPI commands, numbers and IEEE 488.2 status, pure (no I/O)
    scpi             SCPI over TCP (asyncio, standard library only); reach: who may connect
    epics            an EPICS IOC (softioc), imported only when asked for
    http             the front panel in a browser (aiohttp), imported only when asked for: its page
                     in panel/, what it shows in panel_state, its requests judged in panel_requests,
                     the rule that only its own page changes anything in web_origin
    service.serve    the faces and the owner in one process, until SIGTERM or Ctrl-C

A client of tolvan_lab; nothing in tolvan_lab imports it.
"""
