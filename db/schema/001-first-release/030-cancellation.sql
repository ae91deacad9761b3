-- The cancellation record the application server leaves behind for each
-- invoice it cancels (the receivables it cancels with it are the ERP's,
-- erp/030-accounting.sql).

-- One record per cancelled invoice: who asked (CDOPERADOR, under the session
-- IDSESSAO of SESSAOOPER, from the workstation address DSENDERECO; both empty
-- for records made before operators signed in), on which processing date of the branch, why, under which environment, state and
-- certificate, when the server cancelled it (DHCANCELAMENTO, with the state's
-- UTC offset) and what the authority answered: the event's status and text,
-- its protocol, its registration time and the answering application
-- (VERAPLIC; the server's stand-in authority writes its own name there, so
-- that its records are never taken for the tax authority's).
-- The primary key is the last guard against a second cancellation of one
-- invoice, whatever the servers and connections involved.
CREATE TABLE CANCELAMENTONFE (
    NRLANCTONF      VARCHAR(10)  NOT NULL,
    CDOPERADOR      VARCHAR(30)  NOT NULL,
    IDSESSAO        VARCHAR(16),
    DSENDERECO      VARCHAR(64),
    DTPROCESSAMENTO DATE         NOT NULL,
    DSMOTIVOCANC    VARCHAR(255) NOT NULL,
    IDTPAMBIENTENFE VARCHAR(1)   NOT NULL,
    SGESTADO        VARCHAR(2)   NOT NULL,
    NRSERIECERTIFIC VARCHAR(50)  NOT NULL,
    DHCANCELAMENTO  VARCHAR(25)  NOT NULL,
    CDSTATUSEVENTO  VARCHAR(3)   NOT NULL,
    DSSTATUSEVENTO  VARCHAR(255) NOT NULL,
    NRPROTOCOLOCANC VARCHAR(15)  NOT NULL,
    DHREGEVENTO     VARCHAR(25)  NOT NULL,
    VERAPLIC        VARCHAR(20)  NOT NULL,
    CONSTRAINT CANCELAMENTONFE_PK PRIMARY KEY (NRLANCTONF),
    CONSTRAINT CANCELAMENTONFE_NOTAFISCAL FOREIGN KEY (NRLANCTONF) REFERENCES NOTAFISCAL (NRLANCTONF),
    CONSTRAINT CANCELAMENTONFE_AMBIENTE CHECK (IDTPAMBIENTENFE IN ('1', '2'))
);
