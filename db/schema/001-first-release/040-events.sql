-- The NF-e events the application server sends to the tax authority: today the
-- cancellation (TPEVENTO 110111, NRSEQEVENTO 1).
--
-- The signed event is written here, in its own committed transaction, before
-- it leaves the server, and is sent from here byte for byte. So an answer that
-- never came (a timeout, a dropped connection, a server killed while waiting)
-- leaves a pending row behind: the next attempt asks the authority whether the
-- event was registered (the protocol query) and resends this same XML only
-- when it was not. An event can never be registered twice, and the reason the
-- authority holds is always the one kept here.
--
-- IDSITUACAO: 'P' pending (signed; sent or about to be; no final answer yet),
--             'R' registered (XMLPROCEVENTO holds procEventoNFe: the signed
--                 event followed by the authority's retEvento),
--             'J' rejected by the authority (CDSTATUS / DSSTATUS say why); the
--                 next attempt signs a new event in its place.
-- CDOPERADOR, IDSESSAO, DSENDERECO: who signed it, under which session, from
-- which workstation address. While a pending event is on its way, only its own
-- session resumes it (see the in-flight guard of the cancellation).
-- DHCRIACAO / DHENVIO: when the event was signed and last sent, with the
-- state's UTC offset; NRTENTATIVAS counts the sends. NRLOTE is the idLote of
-- the batch (up to 20 events) the event was last sent in.
-- NRCONSULTAS / DHCONSULTA: the protocol queries of the NF-e made for this
-- event in the hour that began at DHCONSULTA (seconds since 1970-01-01 UTC):
-- the authorities block (656) a client that asks about one NF-e more than
-- ten times an hour, so the server asks at most that often.
CREATE TABLE NFEEVENTO (
    NRLANCTONF      VARCHAR(10)  NOT NULL,
    TPEVENTO        VARCHAR(6)   NOT NULL,
    NRSEQEVENTO     INTEGER      NOT NULL,
    NRACESSONFE     VARCHAR(44)  NOT NULL,
    IDSITUACAO      VARCHAR(1)   NOT NULL,
    CDOPERADOR      VARCHAR(30)  NOT NULL,
    IDSESSAO        VARCHAR(16)  NOT NULL,
    DSENDERECO      VARCHAR(64)  NOT NULL,
    DSMOTIVOCANC    VARCHAR(255) NOT NULL,
    IDTPAMBIENTENFE VARCHAR(1)   NOT NULL,
    SGESTADO        VARCHAR(2)   NOT NULL,
    NRSERIECERTIFIC VARCHAR(50)  NOT NULL,
    NRLOTE          VARCHAR(15)  NOT NULL,
    DHCRIACAO       VARCHAR(25)  NOT NULL,
    DHENVIO         VARCHAR(25),
    NRTENTATIVAS    INTEGER      NOT NULL,
    CDSTATUS        VARCHAR(3),
    DSSTATUS        VARCHAR(255),
    NRPROTOCOLO     VARCHAR(15),
    XMLENVIO        TEXT         NOT NULL,
    XMLPROCEVENTO   TEXT,
    NRCONSULTAS     INTEGER      DEFAULT 0 NOT NULL,
    DHCONSULTA      BIGINT,
    CONSTRAINT NFEEVENTO_PK PRIMARY KEY (NRLANCTONF, TPEVENTO, NRSEQEVENTO),
    CONSTRAINT NFEEVENTO_CHAVE UNIQUE (NRACESSONFE, TPEVENTO, NRSEQEVENTO),
    CONSTRAINT NFEEVENTO_NOTAFISCAL FOREIGN KEY (NRLANCTONF) REFERENCES NOTAFISCAL (NRLANCTONF),
    CONSTRAINT NFEEVENTO_SITUACAO CHECK (IDSITUACAO IN ('P', 'R', 'J')),
    CONSTRAINT NFEEVENTO_AMBIENTE CHECK (IDTPAMBIENTENFE IN ('1', '2')),
    CONSTRAINT NFEEVENTO_REGISTRO CHECK (IDSITUACAO <> 'R' OR XMLPROCEVENTO IS NOT NULL)
);

-- The pauses the tax authorities asked for: after 656 (consumo indevido: the
-- authority blocks the client for an hour) or 108/109 (service paused), no
-- server sends anything to that authority before DHATE. One row per
-- authority, named by the host and port of its event service; a later answer
-- only lengthens a pause, never shortens it.
--
-- DHATE, DHREGISTRO: whole seconds since 1970-01-01 UTC.
CREATE TABLE SEFAZPAUSA (
    DSAUTORIDADE VARCHAR(255) NOT NULL,
    DHATE        BIGINT       NOT NULL,
    CDSTATUS     VARCHAR(3)   NOT NULL,
    DSSTATUS     VARCHAR(255) NOT NULL,
    DHREGISTRO   BIGINT       NOT NULL,
    CONSTRAINT SEFAZPAUSA_PK PRIMARY KEY (DSAUTORIDADE)
);
